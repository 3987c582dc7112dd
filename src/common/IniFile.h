// INI settings file ("server.ini") over SimpleIni: keeps unknown keys, sections and comments
// intact on write-back and writes "key=value". Not thread-safe; each user opens its own.
#pragma once

#include <SimpleIni.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vh {

// The INI boundary's one check: a value may hold no control character (C0 or DEL). A CR or LF
// would start new keys and sections on the next read, a tab or other control byte would not
// read back as written. Callers refuse such a value with a clear error before they change
// anything; WriteString refuses it too.
bool IsIniValue(std::string_view value);

// One change to a settings file: a key set to a value, or removed (no value).
struct TIniEdit {
  std::string section, key;
  std::optional<std::string> value;  // nullopt: every line of the key is removed
  bool onlyIfMissing = false;        // completes the file: a key that is there keeps its value
};

// Applies `edits` to the text of a settings file and returns the new text. Every other line
// stays byte for byte: comments, blank lines, order, unknown keys and sections, line ends.
// Sections and keys match without regard to case (as TIniFile reads them); a key found in a
// section gets its new value on every line that holds it, one not found is added after the
// last key of its section, and a missing section is added at the end. Values must pass
// IsIniValue.
std::string ApplyIniEdits(std::string_view text, const std::vector<TIniEdit>& edits);

// The write-back every writer of the settings file uses: re-reads `path` (a missing file is
// empty), applies `edits` to its text and, when that changed it, replaces the file as
// TIniFile::Save does (a temporary file renamed over it, mode and owner kept). Callers hold
// the settings-file lock, so two writers never lose each other's keys. False, with `error`,
// when a value fails IsIniValue (nothing is written then) or the file cannot be read or
// replaced (it stays as it was).
bool UpdateIniFile(const std::string& path, const std::vector<TIniEdit>& edits, std::string& error);

class TIniFile {
 public:
  TIniFile();
  // Loads the file; a missing file counts as empty and is created by Save. Returns false when
  // the file exists but cannot be read, or cannot be created.
  bool Load(const std::string& path);
  // Writes the whole file to a temporary file beside it and renames that over the old one,
  // so a full disk or a crash leaves the old file or the new one, never half a file. The old
  // file's mode and owner are kept. False (and LastError says why) when nothing was replaced.
  bool Save();
  const std::string& LastError() const { return lastError_; }
  const std::string& Path() const { return path_; }

  std::string ReadString(const std::string& section, const std::string& key,
                         const std::string& def) const;
  // A missing or unreadable value yields the default.
  int ReadInteger(const std::string& section, const std::string& key, int def) const;
  // Booleans are stored as 1 and 0.
  bool ReadBool(const std::string& section, const std::string& key, bool def) const;
  // A value that fails IsIniValue is not written (the key keeps what it had): false.
  bool WriteString(const std::string& section, const std::string& key, const std::string& value);
  void WriteInteger(const std::string& section, const std::string& key, int value);
  void WriteBool(const std::string& section, const std::string& key, bool value);
  void DeleteKey(const std::string& section, const std::string& key);

 private:
  bool Fail(const std::string& what, int error);

  CSimpleIniA ini_;
  std::string path_;
  std::string lastError_;
};

}  // namespace vh

// INI settings file ("server.ini") over SimpleIni: keeps unknown keys, sections and comments
// intact on write-back and writes "key=value". Not thread-safe; each user opens its own.
#pragma once

#include <SimpleIni.h>

#include <string>
#include <string_view>

namespace vh {

// The INI boundary's one check: a value may hold no control character (C0 or DEL). A CR or LF
// would start new keys and sections on the next read, a tab or other control byte would not
// read back as written. Callers refuse such a value with a clear error before they change
// anything; WriteString refuses it too.
bool IsIniValue(std::string_view value);

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

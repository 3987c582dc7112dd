#include "common/IniFile.h"

#include <sys/stat.h>

#include <charconv>
#include <cstdio>

#include "common/Strings.h"

namespace vh {

TIniFile::TIniFile() : ini_(/*isUtf8=*/false, /*multiKey=*/false, /*multiLine=*/false) {
  ini_.SetSpaces(false);
}

bool TIniFile::Load(const std::string& path) {
  path_ = path;
  ini_.Reset();
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    // A missing file is created empty, so that the path is known to be writable.
    FILE* f = std::fopen(path.c_str(), "a");
    if (!f) return false;
    std::fclose(f);
    return true;
  }
  if (S_ISDIR(st.st_mode)) return false;
  SI_Error rc = ini_.LoadFile(path.c_str());
  return rc >= 0;
}

bool TIniFile::Save() {
  if (path_.empty()) return false;
  return ini_.SaveFile(path_.c_str(), false) >= 0;
}

std::string TIniFile::ReadString(const std::string& section, const std::string& key,
                                 const std::string& def) const {
  const char* v = ini_.GetValue(section.c_str(), key.c_str(), nullptr);
  return v ? std::string(v) : def;
}

int TIniFile::ReadInteger(const std::string& section, const std::string& key, int def) const {
  std::string v = Trim(ReadString(section, key, ""));
  if (v.empty()) return def;
  int value = 0;
  const char* first = v.data();
  const char* last = v.data() + v.size();
  if (*first == '+') ++first;
  auto [ptr, ec] = std::from_chars(first, last, value);
  if (ec != std::errc() || ptr != last) return def;
  return value;
}

bool TIniFile::ReadBool(const std::string& section, const std::string& key, bool def) const {
  std::string v = Trim(ReadString(section, key, ""));
  if (v.empty()) return def;
  if (v == "0" || EqualsIgnoreCase(v, "false")) return false;
  if (EqualsIgnoreCase(v, "true")) return true;
  int value = 0;
  auto [ptr, ec] = std::from_chars(v.data(), v.data() + v.size(), value);
  if (ec != std::errc() || ptr != v.data() + v.size()) return def;
  return value != 0;
}

void TIniFile::WriteString(const std::string& section, const std::string& key,
                           const std::string& value) {
  ini_.SetValue(section.c_str(), key.c_str(), value.c_str());
}

void TIniFile::WriteInteger(const std::string& section, const std::string& key, int value) {
  WriteString(section, key, std::to_string(value));
}

void TIniFile::WriteBool(const std::string& section, const std::string& key, bool value) {
  WriteString(section, key, value ? "1" : "0");
}

void TIniFile::DeleteKey(const std::string& section, const std::string& key) {
  ini_.Delete(section.c_str(), key.c_str(), false);
}

}  // namespace vh

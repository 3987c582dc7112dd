#include "common/IniFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/PrivateFile.h"
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
    // A missing file is created empty, so that the path is known to be writable; private, as
    // it may hold the database password.
    return CreatePrivateFileIfMissing(path);
  }
  if (S_ISDIR(st.st_mode)) return false;
  SI_Error rc = ini_.LoadFile(path.c_str());
  return rc >= 0;
}

bool TIniFile::Fail(const std::string& what, int error) {
  lastError_ = what + ": " + std::strerror(error);
  return false;
}

bool TIniFile::Save() {
  lastError_.clear();
  if (path_.empty()) return Fail("no file name", EINVAL);
  std::string text;
  if (ini_.Save(text, false) < 0) return Fail(path_, ENOMEM);
  // Through a symbolic link the link stays and its target is replaced.
  std::string target = path_;
  char resolved[PATH_MAX];
  if (::realpath(path_.c_str(), resolved)) target = resolved;
  struct stat old {};
  const bool hadFile = ::stat(target.c_str(), &old) == 0;

  std::string temp = target + ".XXXXXX";
  int fd = ::mkstemp(temp.data());
  if (fd < 0) return Fail("cannot create a file beside " + target, errno);
  auto abandon = [&](const std::string& what) {
    int error = errno;
    if (fd >= 0) ::close(fd);
    ::unlink(temp.c_str());
    return Fail(what, error);
  };
  if (hadFile) {
    // Only root may hand the file back to its owner; anyone else's copy stays theirs.
    [[maybe_unused]] int chowned = ::fchown(fd, old.st_uid, old.st_gid);
    ::fchmod(fd, old.st_mode & 07777);
  } else {
    ::fchmod(fd, kPrivateFileMode);
  }
  for (size_t done = 0; done < text.size();) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return abandon("cannot write " + temp);
    done += static_cast<size_t>(n);
  }
  if (::fsync(fd) != 0) return abandon("cannot write " + temp);
  int closing = fd;
  fd = -1;
  if (::close(closing) != 0) return abandon("cannot write " + temp);
  if (::rename(temp.c_str(), target.c_str()) != 0) return abandon("cannot replace " + target);
  return true;
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

bool IsIniValue(std::string_view value) {
  return !HasControlChars(value);
}

bool TIniFile::WriteString(const std::string& section, const std::string& key,
                           const std::string& value) {
  if (!IsIniValue(value)) return false;
  ini_.SetValue(section.c_str(), key.c_str(), value.c_str());
  return true;
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

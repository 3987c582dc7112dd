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

namespace {

// Writes `text` to a temporary file beside `path` and renames it over `path`. The old file's
// mode and owner are kept; a new file is private. False (and `error`) when nothing was replaced.
bool ReplaceFile(const std::string& path, const std::string& text, std::string& error) {
  auto fail = [&](const std::string& what, int code) {
    error = what + ": " + std::strerror(code);
    return false;
  };
  if (path.empty()) return fail("no file name", EINVAL);
  // Through a symbolic link the link stays and its target is replaced.
  std::string target = path;
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved)) target = resolved;
  struct stat old {};
  const bool hadFile = ::stat(target.c_str(), &old) == 0;

  std::string temp = target + ".XXXXXX";
  int fd = ::mkstemp(temp.data());
  if (fd < 0) return fail("cannot create a file beside " + target, errno);
  auto abandon = [&](const std::string& what) {
    int code = errno;
    if (fd >= 0) ::close(fd);
    ::unlink(temp.c_str());
    return fail(what, code);
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

// One line of a settings file as the reader sees it.
struct TIniLine {
  enum Kind { Other, Section, Key } kind = Other;
  std::string name;  // the section's or the key's name, trimmed
};

TIniLine ClassifyLine(std::string_view line) {
  const std::string t = Trim(line);
  TIniLine result;
  if (t.empty() || t[0] == ';' || t[0] == '#') return result;
  if (t[0] == '[') {
    const size_t close = t.find(']');
    if (close == std::string::npos) return result;
    result.kind = TIniLine::Section;
    result.name = Trim(std::string_view(t).substr(1, close - 1));
    return result;
  }
  const size_t eq = t.find('=');
  if (eq == std::string::npos) return result;
  result.kind = TIniLine::Key;
  result.name = Trim(std::string_view(t).substr(0, eq));
  return result;
}

}  // namespace

std::string ApplyIniEdits(std::string_view text, const std::vector<TIniEdit>& edits) {
  // Lines keep their own ends; new lines take the file's (CR LF when its first line has one).
  std::vector<std::string> lines;
  for (size_t at = 0; at < text.size();) {
    size_t nl = text.find('\n', at);
    size_t end = nl == std::string_view::npos ? text.size() : nl + 1;
    lines.emplace_back(text.substr(at, end - at));
    at = end;
  }
  const std::string eol =
      text.find("\r\n") != std::string_view::npos && text.find("\r\n") + 1 == text.find('\n')
          ? "\r\n"
          : "\n";
  auto body = [](const std::string& line) {
    std::string_view v(line);
    while (!v.empty() && (v.back() == '\n' || v.back() == '\r')) v.remove_suffix(1);
    // A byte-order mark before the first line belongs to no key.
    if (v.substr(0, 3) == "\xEF\xBB\xBF") v.remove_prefix(3);
    return v;
  };
  for (const TIniEdit& edit : edits) {
    std::string section;  // keys before the first header belong to the unnamed section
    bool found = false;
    size_t insertAt = std::string::npos;  // after the last key line of the section
    bool sectionSeen = edit.section.empty();
    if (sectionSeen) insertAt = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
      const TIniLine l = ClassifyLine(body(lines[i]));
      if (l.kind == TIniLine::Section) {
        section = l.name;
        if (EqualsIgnoreCase(section, edit.section)) {
          sectionSeen = true;
          insertAt = i + 1;
        }
        continue;
      }
      if (!EqualsIgnoreCase(section, edit.section)) continue;
      if (l.kind != TIniLine::Key) continue;
      insertAt = i + 1;
      if (!EqualsIgnoreCase(l.name, edit.key)) continue;
      found = true;
      if (edit.onlyIfMissing) continue;
      if (!edit.value) {
        lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(i));
        --i;
        --insertAt;
        continue;
      }
      // The key as written (its case and spacing) stays; only what follows '=' changes.
      const std::string& old = lines[i];
      const size_t eq = old.find('=');
      std::string end = old.substr(body(old).data() - old.data() + body(old).size());
      lines[i] = old.substr(0, eq + 1) + *edit.value + (end.empty() ? std::string() : end);
    }
    if (found || !edit.value) continue;
    std::string line = edit.key + "=" + *edit.value + eol;
    if (!sectionSeen) {
      if (!lines.empty() && lines.back().back() != '\n') lines.back() += eol;
      if (!lines.empty() && !Trim(body(lines.back())).empty()) lines.push_back(eol);
      lines.push_back("[" + edit.section + "]" + eol);
      lines.push_back(line);
      continue;
    }
    if (insertAt > 0 && lines[insertAt - 1].back() != '\n') lines[insertAt - 1] += eol;
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(insertAt), line);
  }
  std::string out;
  for (const std::string& l : lines) out += l;
  return out;
}

bool UpdateIniFile(const std::string& path, const std::vector<TIniEdit>& edits,
                   std::string& error) {
  error.clear();
  for (const TIniEdit& e : edits) {
    if (e.value && !IsIniValue(*e.value)) {
      error = "[" + e.section + "] " + e.key + ": a value may hold no control character";
      return false;
    }
  }
  std::string text;
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) {
      error = path + ": " + std::strerror(EISDIR);
      return false;
    }
    std::FILE* in = std::fopen(path.c_str(), "rb");
    if (!in) {
      error = path + ": " + std::strerror(errno);
      return false;
    }
    char buf[8192];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, in)) > 0;) text.append(buf, n);
    const bool readFailed = std::ferror(in) != 0;
    std::fclose(in);
    if (readFailed) {
      error = path + ": cannot read";
      return false;
    }
  }
  const std::string updated = ApplyIniEdits(text, edits);
  if (updated == text && ::stat(path.c_str(), &st) == 0) return true;
  return ReplaceFile(path, updated, error);
}

bool TIniFile::Save() {
  lastError_.clear();
  std::string text;
  if (ini_.Save(text, false) < 0) return Fail(path_, ENOMEM);
  return ReplaceFile(path_, text, lastError_);
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

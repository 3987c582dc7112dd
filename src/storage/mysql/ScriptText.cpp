#include "storage/mysql/ScriptText.h"

#include "common/Strings.h"

namespace vh {

namespace {

bool IsNameStart(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

bool IsNameChar(char c) {
  return IsNameStart(c) || (c >= '0' && c <= '9');
}

// The length of the comment starting at s[i], or 0 when none starts there.
size_t CommentLength(std::string_view s, size_t i) {
  const size_t n = s.size();
  const bool dashes =
      s[i] == '-' && i + 1 < n && s[i + 1] == '-' &&
      (i + 2 == n || s[i + 2] == ' ' || s[i + 2] == '\t' || s[i + 2] == '\n' || s[i + 2] == '\r');
  if (dashes || s[i] == '#') {
    const size_t eol = s.find('\n', i);
    return (eol == std::string_view::npos ? n : eol) - i;
  }
  if (s[i] == '/' && i + 1 < n && s[i + 1] == '*') {
    const size_t close = s.find("*/", i + 2);
    return (close == std::string_view::npos ? n : close + 2) - i;
  }
  return 0;
}

}  // namespace

std::vector<std::string> SplitStatements(std::string_view script) {
  std::vector<std::string> statements;
  auto add = [&](std::string_view text) {
    std::string t = Trim(text);
    if (!t.empty()) statements.push_back(std::move(t));
  };
  std::string current;
  bool quoted = false;
  bool anySemicolon = false;
  for (size_t i = 0; i < script.size();) {
    const char c = script[i];
    if (!quoted) {
      if (const size_t len = CommentLength(script, i)) {
        // A comment reads as a blank: "a--x\nb" must not glue a and b together.
        current += ' ';
        i += len;
        continue;
      }
      if (c == ';') {
        anySemicolon = true;
        add(current);
        current.clear();
        ++i;
        continue;
      }
    }
    if (c == '\'' || c == '"') quoted = !quoted;
    current += c;
    ++i;
  }
  if (!anySemicolon) add(current);
  return statements;
}

TBoundStatement BindParameterNames(std::string_view statement) {
  TBoundStatement out;
  char quote = 0;  // the quote character of the literal we are in, or 0
  for (size_t i = 0; i < statement.size();) {
    const char c = statement[i];
    if (quote) {
      out.sql += c;
      if (c == '\\' && i + 1 < statement.size()) {
        out.sql += statement[i + 1];
        i += 2;
        continue;
      }
      if (c == quote) quote = 0;
      ++i;
      continue;
    }
    if (c == '\'' || c == '"' || c == '`') {
      quote = c;
      out.sql += c;
      ++i;
      continue;
    }
    if (const size_t len = CommentLength(statement, i)) {
      out.sql += ' ';
      i += len;
      continue;
    }
    if (c == ':' && i + 1 < statement.size() && IsNameStart(statement[i + 1]) &&
        (i == 0 || (!IsNameChar(statement[i - 1]) && statement[i - 1] != ':'))) {
      size_t end = i + 1;
      while (end < statement.size() && IsNameChar(statement[end])) ++end;
      out.params.push_back(LowerCase(statement.substr(i, end - i)));
      out.sql += '?';
      i = end;
      continue;
    }
    out.sql += c;
    ++i;
  }
  return out;
}

}  // namespace vh

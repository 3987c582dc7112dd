#include "admin/web/TemplateEngine.h"

#include <cctype>

namespace vh {

namespace {

char Lower(char c) {
  return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

size_t FindNoCase(std::string_view text, std::string_view what, size_t from = 0) {
  if (what.empty() || what.size() > text.size()) return std::string_view::npos;
  for (size_t i = from; i + what.size() <= text.size(); ++i) {
    size_t k = 0;
    while (k < what.size() && Lower(text[i + k]) == Lower(what[k])) ++k;
    if (k == what.size()) return i;
  }
  return std::string_view::npos;
}

}  // namespace

std::string HtmlEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&#34;";
        break;
      case '\'':
        out += "&#39;";
        break;
      case '%':  // a filled value never forms a marker a later value or block would replace
        out += "&#37;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string JsonString(std::string_view text) {
  static const char* kHex = "0123456789abcdef";
  std::string out = "\"";
  out.reserve(text.size() + 2);
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7f || c == '<' || c == '>' || c == '&') {
      out += "\\u00";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string UrlEncode(std::string_view text) {
  static const char* kHex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

namespace {

bool HasBlankOrControl(std::string_view url) {
  for (unsigned char c : url)
    if (c <= 0x20 || c == 0x7f || c == '\\') return true;
  return false;
}

}  // namespace

bool IsPageOfThisSite(std::string_view url) {
  if (url.empty() || HasBlankOrControl(url) || url.front() == '/') return false;
  const size_t colon = url.find(':');
  const size_t end = url.find_first_of("/?#");
  return colon == std::string_view::npos || (end != std::string_view::npos && end < colon);
}

bool IsHttpLink(std::string_view url) {
  if (HasBlankOrControl(url)) return false;
  for (std::string_view scheme : {"http://", "https://"})
    if (url.size() > scheme.size() && FindNoCase(url.substr(0, scheme.size()), scheme) == 0 &&
        url[scheme.size()] != '/')
      return true;
  return false;
}

void InsertFormToken(std::string& page, std::string_view token) {
  const std::string field = "<input type=\"hidden\" name=\"" + std::string(kTokenField) +
                            "\" value=\"" + HtmlEscape(token) + "\">";
  size_t at = 0;
  while ((at = FindNoCase(page, "<form", at)) != std::string::npos) {
    const size_t close = page.find('>', at);
    if (close == std::string::npos) return;
    const std::string_view tag(page.data() + at, close - at);
    if (FindNoCase(tag, "method=\"post\"") != std::string_view::npos) page.insert(close + 1, field);
    at = close;
  }
}

std::string ReplaceAllNoCase(std::string_view text, std::string_view from, std::string_view to) {
  std::string out;
  size_t pos = 0;
  while (true) {
    const size_t hit = FindNoCase(text, from, pos);
    if (hit == std::string_view::npos) break;
    out.append(text.substr(pos, hit - pos));
    out.append(to);
    pos = hit + from.size();
  }
  out.append(text.substr(pos));
  return out;
}

bool ExpandIncludes(std::string& page, const std::function<std::string(const std::string&)>& load,
                    int maxDepth) {
  static constexpr std::string_view kMark = "%%INCLUDE%";
  // Each round replaces the first include left; the text it brought in is one level deeper
  // than the include that brought it, tracked as nested spans of the page.
  struct TFrame {
    size_t end;  // end of the text an include brought in
    int depth;
  };
  std::vector<TFrame> frames;
  size_t searchFrom = 0;
  while (true) {
    const size_t at = page.find(kMark, searchFrom);
    if (at == std::string::npos) return true;
    const size_t nameStart = at + kMark.size();
    const size_t nameEnd = page.find('%', nameStart);
    if (nameEnd == std::string::npos) return true;  // an unfinished mark stays as text
    while (!frames.empty() && at >= frames.back().end) frames.pop_back();
    const int depth = frames.empty() ? 1 : frames.back().depth + 1;
    if (depth > maxDepth) return false;
    const std::string name = page.substr(nameStart, nameEnd - nameStart);
    const std::string text = load(name);
    const size_t removed = nameEnd + 1 - at;
    page.replace(at, removed, text);
    for (TFrame& f : frames) f.end = f.end - removed + text.size();
    frames.push_back({at + text.size(), depth});
    searchFrom = at;
  }
}

void FillValues(std::string& page, const TTemplateValues& values) {
  for (const auto& [name, value] : values) {
    page = ReplaceAllNoCase(page, "%%" + name + "%%", HtmlEscape(value));
    // Percent-encoding leaves only letters, digits, "-._~" and "%XX": nothing HTML reads as
    // markup, and no "%%" that could form a marker.
    page = ReplaceAllNoCase(page, "%%" + name + std::string(kUrlFilter) + "%%", UrlEncode(value));
  }
}

void FillRawValues(std::string& page, const TTemplateValues& values) {
  for (const auto& [name, value] : values) page = ReplaceAllNoCase(page, "%%" + name + "%%", value);
}

void ClearUnfilledValues(std::string& page) {
  std::string out;
  size_t pos = 0;
  while (true) {
    const size_t at = page.find("%%", pos);
    if (at == std::string::npos) break;
    const size_t end = page.find("%%", at + 2);
    if (end == std::string::npos) break;
    const std::string_view name(page.data() + at + 2, end - at - 2);
    bool isName = !name.empty() && name.size() <= 64;
    for (char c : name)
      if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '|') isName = false;
    out.append(page, pos, at - pos);
    if (isName) {
      pos = end + 2;
    } else {
      out += '%';
      pos = at + 1;
    }
  }
  out.append(page, pos);
  page = std::move(out);
}

bool HasBlock(std::string_view page, std::string_view name) {
  return FindNoCase(page, "%!" + std::string(name) + "!%") != std::string_view::npos;
}

void ReplaceBlock(std::string& page, std::string_view name, std::string_view html) {
  page = ReplaceAllNoCase(page, "%!" + std::string(name) + "!%", html);
}

void ApplyCondition(std::string& page, std::string_view name, bool holds) {
  const std::string on = "%!COMMENT_ON_" + std::string(name) + "!%";
  const std::string off = "%!COMMENT_OFF_" + std::string(name) + "!%";
  page = ReplaceAllNoCase(page, on, holds ? "<!--" : "");
  page = ReplaceAllNoCase(page, off, holds ? "-->" : "");
}

}  // namespace vh

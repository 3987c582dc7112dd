// The web interface's template language on any text: a page and three templates that may
// include each other (or themselves), values and raw values, blocks and conditional sections,
// all taken from the input. Checks that escaping leaves no markup or marker character and
// that URL encoding is reversible and leaves only unreserved characters and %XX.
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "FuzzInput.h"
#include "admin/web/TemplateEngine.h"

namespace {

using namespace vh;

void Check(bool holds) {
  if (!holds) std::abort();
}

int HexValue(char c) {
  return std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : c - 'A' + 10;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::TFuzzInput in(data, size);
  std::string page = in.Bytes(2000);
  const std::string templates[3] = {in.Bytes(600), in.Bytes(600), in.Bytes(600)};
  // A name picks a template by its length, so the input can name any of them.
  auto load = [&](const std::string& name) { return templates[name.size() % 3]; };
  ExpandIncludes(page, load, 1 + in.Byte() % kMaxIncludeDepth);

  TTemplateValues values, raw;
  for (int i = in.Byte() % 6; i > 0; --i) values.emplace_back(in.Bytes(16), in.Bytes(200));
  for (int i = in.Byte() % 3; i > 0; --i) raw.emplace_back(in.Bytes(16), in.Bytes(200));
  FillValues(page, values);
  FillRawValues(page, raw);
  const std::string block = in.Bytes(16);
  if (HasBlock(page, block)) ReplaceBlock(page, block, in.Bytes(300));
  ApplyCondition(page, in.Bytes(16), in.Byte() & 1);
  ClearUnfilledValues(page);
  const std::string from = in.Bytes(8);
  page = ReplaceAllNoCase(page, from, in.Bytes(8));

  const std::string text = in.Bytes(400);
  for (char c : HtmlEscape(text)) Check(c != '<' && c != '>' && c != '"' && c != '\'' && c != '%');
  const std::string encoded = UrlEncode(text);
  std::string decoded;
  for (size_t i = 0; i < encoded.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(encoded[i]);
    if (c == '%') {
      Check(i + 2 < encoded.size());
      decoded += static_cast<char>(HexValue(encoded[i + 1]) * 16 + HexValue(encoded[i + 2]));
      i += 2;
    } else {
      Check(std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~');
      decoded += static_cast<char>(c);
    }
  }
  Check(decoded == text);
  return 0;
}

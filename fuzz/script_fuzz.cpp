// The MariaDB/MySQL script splitter and parameter binder on any text. Checks that no
// statement is empty after trimming, that every named parameter became one "?" (the binder
// never reports more parameters than placeholders) and that each name starts with its colon
// and is lower case.
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "storage/mysql/ScriptText.h"

namespace {

void Check(bool holds) {
  if (!holds) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view script(reinterpret_cast<const char*>(data), size);
  for (const std::string& statement : vh::SplitStatements(script)) {
    Check(statement.find_first_not_of(" \t\r\n") != std::string::npos);
    const vh::TBoundStatement bound = vh::BindParameterNames(statement);
    size_t marks = 0;
    for (char c : bound.sql) marks += c == '?';
    Check(bound.params.size() <= marks);
    for (const std::string& name : bound.params) {
      Check(name.size() >= 2 && name[0] == ':');
      for (char c : name) Check(!std::isupper(static_cast<unsigned char>(c)));
    }
  }
  // The binder alone, on the whole text.
  const vh::TBoundStatement whole = vh::BindParameterNames(script);
  size_t marks = 0;
  for (char c : whole.sql) marks += c == '?';
  Check(whole.params.size() <= marks);
  return 0;
}

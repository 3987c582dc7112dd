// Turns a script of the script directory into what the MariaDB/MySQL back-end sends: the
// statements of the script, and each statement with its named parameters replaced by "?"
// placeholders plus the parameter names in placeholder order. Pure text work, no database;
// used by TDBExpressStorage under the storage lock.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vh {

// Splits a script into its statements. A text without a semicolon is one statement. Otherwise
// every semicolon outside quotes and comments ends a statement, and text after the last such
// semicolon is not run (a script ends its statements with ";"). One quote flag is flipped by
// every single and double quote, as the scripts have always been read; "--", "#" and "/* */"
// comments are skipped so a quote inside a comment cannot swallow a semicolon. Statements that
// are empty after trimming are left out.
std::vector<std::string> SplitStatements(std::string_view script);

// One statement ready to prepare: ":name" parameters (outside quotes and comments) became "?".
struct TBoundStatement {
  std::string sql;
  std::vector<std::string> params;  // lower-cased, with the colon, one per "?" in order
};
TBoundStatement BindParameterNames(std::string_view statement);

}  // namespace vh

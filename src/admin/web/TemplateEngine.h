// The page template language of the web interface, free of files and sockets: includes
// ("%%INCLUDE%name%") expanded through a loader with a depth limit, values ("%%NAME%%", or
// "%%NAME|URL%%" inside a URL),
// blocks ("%!NAME!%") and conditional sections ("%!COMMENT_ON_X!%" ... "%!COMMENT_OFF_X!%").
// Pure functions on strings; any thread.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vh {

// Deeper nesting than this stops the expansion (a template that includes itself).
constexpr int kMaxIncludeDepth = 16;

// "&", "<", ">", '"', "'" and "%" as character references: every value filled into a page.
std::string HtmlEscape(std::string_view text);
// A JSON string literal, quotes included: quote, backslash and every control byte escaped, and
// "<", ">" and "&" as \u escapes so that no value can close a script element around it.
std::string JsonString(std::string_view text);
// Everything but unreserved characters as %XX: every value put into a redirect URL.
std::string UrlEncode(std::string_view text);

// A URL that names a page of this site: a relative path (no scheme, no "//", no leading "/"),
// without blanks, control characters or backslashes anywhere (browsers drop a tab or line
// feed inside a URL, so "java\tscript:" would still be a scheme). Every URL a request or a
// setting hands to a page as a link target is checked with it.
bool IsPageOfThisSite(std::string_view url);
// An absolute http or https URL without blanks or control characters: the hoster's link.
bool IsHttpLink(std::string_view url);

// The hidden field that carries a session's token in forms.
constexpr std::string_view kTokenField = "vhtoken";
// Puts the token field into every form of the page that posts (method="post").
void InsertFormToken(std::string& page, std::string_view token);

// Replaces every occurrence of `from`, compared without regard to letter case, by `to`.
std::string ReplaceAllNoCase(std::string_view text, std::string_view from, std::string_view to);

// Expands the includes of `page`, the included text scanned again. `load` gives the text of a
// template name (empty when missing). False, with the page as far as it was expanded, when the
// nesting passed kMaxIncludeDepth.
bool ExpandIncludes(std::string& page, const std::function<std::string(const std::string&)>& load,
                    int maxDepth = kMaxIncludeDepth);

// One value of a page or a row: name without the "%%" marks, text already made safe.
using TTemplateValues = std::vector<std::pair<std::string, std::string>>;

// The filter of a value placed into a URL: "%%NAME|URL%%" (any letter case) is the value
// percent-encoded, where "%%NAME%%" is the value HTML-escaped. A link written
// href="page.html?client=%%CLIENT_LOGINNAME|URL%%" cannot gain a parameter from the name.
constexpr std::string_view kUrlFilter = "|URL";

// Fills "%%NAME%%" and "%%NAME|URL%%" for every given name; the values are escaped here.
void FillValues(std::string& page, const TTemplateValues& values);
// Fills values already in HTML (links the server builds itself).
void FillRawValues(std::string& page, const TTemplateValues& values);
// Removes every "%%NAME%%" left without a value.
void ClearUnfilledValues(std::string& page);

// True when the page holds the block marker "%!NAME!%".
bool HasBlock(std::string_view page, std::string_view name);
void ReplaceBlock(std::string& page, std::string_view name, std::string_view html);

// The conditional section X: turned into an HTML comment when `holds`, else its markers are
// removed and the text stays.
void ApplyCondition(std::string& page, std::string_view name, bool holds);

}  // namespace vh

// The page template language of the web interface, free of files and sockets: includes
// ("%%INCLUDE%name%") expanded through a loader with a depth limit, values ("%%NAME%%"),
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
// Everything but unreserved characters as %XX: every value put into a redirect URL.
std::string UrlEncode(std::string_view text);

// Replaces every occurrence of `from`, compared without regard to letter case, by `to`.
std::string ReplaceAllNoCase(std::string_view text, std::string_view from, std::string_view to);

// Expands the includes of `page`, the included text scanned again. `load` gives the text of a
// template name (empty when missing). False, with the page as far as it was expanded, when the
// nesting passed kMaxIncludeDepth.
bool ExpandIncludes(std::string& page, const std::function<std::string(const std::string&)>& load,
                    int maxDepth = kMaxIncludeDepth);

// One value of a page or a row: name without the "%%" marks, text already made safe.
using TTemplateValues = std::vector<std::pair<std::string, std::string>>;

// Fills "%%NAME%%" for every given name; the values are HTML-escaped here.
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

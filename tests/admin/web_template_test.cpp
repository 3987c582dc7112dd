// The template language on its own: nested includes and their depth limit, conditional
// sections, values filled without regard to case and escaped (HTML or URL), and redirect
// encoding.

#include <gtest/gtest.h>

#include <map>

#include "admin/web/TemplateEngine.h"

namespace vh {
namespace {

TEST(WebTemplateTest, IncludesNestAndASelfIncludeStopsAtTheDepthLimit) {
  std::map<std::string, std::string> files = {
      {"a", "A[%%INCLUDE%b%]"}, {"b", "B[%%INCLUDE%c%]"}, {"c", "C"}, {"self", "x%%INCLUDE%self%"}};
  auto load = [&](const std::string& n) { return files.count(n) ? files[n] : std::string(); };
  std::string page = "<%%INCLUDE%a%|%%INCLUDE%c%|%%INCLUDE%missing%>";
  EXPECT_TRUE(ExpandIncludes(page, load));
  EXPECT_EQ(page, "<A[B[C]]|C|>");
  page = "%%INCLUDE%self%";
  EXPECT_FALSE(ExpandIncludes(page, load));
  EXPECT_EQ(page.substr(0, kMaxIncludeDepth), std::string(kMaxIncludeDepth, 'x'));
  // Sibling includes at the same level do not add up to the limit.
  std::string many;
  for (int i = 0; i < 40; ++i) many += "%%INCLUDE%c%";
  EXPECT_TRUE(ExpandIncludes(many, load));
  EXPECT_EQ(many, std::string(40, 'C'));
}

TEST(WebTemplateTest, ConditionalSectionsHideOnlyWhenTheConditionHolds) {
  const std::string page = "a%!COMMENT_ON_SUPERADMIN!%secret%!comment_off_superadmin!%b";
  std::string hidden = page, shown = page;
  ApplyCondition(hidden, "SUPERADMIN", true);
  ApplyCondition(shown, "SUPERADMIN", false);
  EXPECT_EQ(hidden, "a<!--secret-->b");
  EXPECT_EQ(shown, "asecretb");
}

TEST(WebTemplateTest, ValuesAreFilledInAnyCaseEscapedAndUnfilledOnesCleared) {
  std::string page = "<p>%%Name%% %%NAME%% %%UNKNOWN%% 100%% %!BLOCK!%</p>";
  FillValues(page, {{"NAME", "<b>\"&'"}});
  ClearUnfilledValues(page);
  EXPECT_EQ(page, "<p>&lt;b&gt;&#34;&amp;&#39; &lt;b&gt;&#34;&amp;&#39;  100%% %!BLOCK!%</p>");
  EXPECT_TRUE(HasBlock(page, "block"));
  ReplaceBlock(page, "BLOCK", "<tr>");
  EXPECT_EQ(page, "<p>&lt;b&gt;&#34;&amp;&#39; &lt;b&gt;&#34;&amp;&#39;  100%% <tr></p>");
  EXPECT_EQ(UrlEncode("a b&c=/é"), "a%20b%26c%3D%2F%C3%A9");
  // A value that looks like a marker stays text: it is not filled by a later value.
  std::string nested = "%%A%% %%B%%";
  FillValues(nested, {{"A", "%%B%%"}, {"B", "secret"}});
  EXPECT_EQ(nested, "&#37;&#37;B&#37;&#37; secret");
}

TEST(WebTemplateTest, UrlFilterPercentEncodesWhereHtmlEscapingWouldLeaveParametersOpen) {
  // A login name chosen to add a parameter to the delete link of the account list.
  std::string row =
      "<a href=\"ask.vhcmd?clientid=%%ID|url%%&amp;client=%%NAME|URL%%\">%%name%%</a>%%OTHER|URL%%";
  FillValues(row, {{"ID", "7"}, {"NAME", "m&CLIENTID=3 \"><b>"}});
  ClearUnfilledValues(row);
  EXPECT_EQ(row,
            "<a href=\"ask.vhcmd?clientid=7&amp;client=m%26CLIENTID%3D3%20%22%3E%3Cb%3E\">"
            "m&amp;CLIENTID=3 &#34;&gt;&lt;b&gt;</a>");
}

}  // namespace
}  // namespace vh

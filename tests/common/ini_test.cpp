// The INI boundary: a value with a control character is never written, so the file always
// reads back to the sections and keys that were written.
#include <gtest/gtest.h>

#include "common/IniFile.h"
#include "support/TempDir.h"

namespace vh {
namespace {

using test::ReadFile;
using test::TTempDir;

TEST(IniFile, ValuesWithControlCharactersAreRefusedAndTheFileReadsBackTheSame) {
  TTempDir dir;
  const std::string path = dir.File("server.ini");
  {
    TIniFile ini;
    ASSERT_TRUE(ini.Load(path));
    EXPECT_TRUE(ini.WriteString("ISP", "GFX URL", "http://host/a \"b\" \\c"));
    EXPECT_TRUE(ini.WriteString("WebPost", "ISPName", "old"));
    for (const char* bad : {"x\r\n[Main Config]\r\nTCPQueryPort=1", "x\n[Evil]\nk=v", "x\ry=1",
                            "tab\there", "esc\x1b", "del\x7f"}) {
      EXPECT_FALSE(IsIniValue(bad));
      EXPECT_FALSE(ini.WriteString("WebPost", "ISPName", bad));
    }
    ASSERT_TRUE(ini.Save());
  }
  TIniFile again;
  ASSERT_TRUE(again.Load(path));
  EXPECT_EQ(again.ReadString("WebPost", "ISPName", "?"), "old");
  EXPECT_EQ(again.ReadString("ISP", "GFX URL", "?"), "http://host/a \"b\" \\c");
  const std::string text = ReadFile(path);
  EXPECT_EQ(text.find("Evil"), std::string::npos) << text;
  EXPECT_EQ(text.find("Main Config"), std::string::npos) << text;
  EXPECT_EQ(text.find('\r'), std::string::npos) << text;
  EXPECT_TRUE(IsIniValue("plain value with blanks, \"quotes\" and \\"));
}

}  // namespace
}  // namespace vh

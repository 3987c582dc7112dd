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

// The write-back edits the text on disk: a line it does not touch stays byte for byte, and
// what it writes reads back through TIniFile as the keys it meant.
TEST(IniEdits, OnlyTheGivenKeysChangeAndEverythingElseStays) {
  const std::string before =
      "; operator's note\r\n[Main Config]\r\nHTTPServer Port = 9000 \r\n# why\r\n"
      "Custom=kept\r\n\r\n[webpost]\r\nISPName=old\r\nISPName=older\r\n[Other]\r\nx=y";
  const std::string after =
      ApplyIniEdits(before, {{"WebPost", "ISPName", "new"},
                             {"Main Config", "TCPQueryPort", "0"},           // added after Custom
                             {"Main Config", "HTTPServer Port", "1", true},  // there: kept
                             {"Spam", "max_commands", "10"},                 // a new section
                             {"Other", "x", std::nullopt},                   // removed
                             {"Other", "missing", std::nullopt}});           // nothing to remove
  EXPECT_EQ(after,
            "; operator's note\r\n[Main Config]\r\nHTTPServer Port = 9000 \r\n# why\r\n"
            "Custom=kept\r\nTCPQueryPort=0\r\n\r\n[webpost]\r\nISPName=new\r\nISPName=new\r\n"
            "[Other]\r\n\r\n[Spam]\r\nmax_commands=10\r\n");
  // Applying the same edits again changes nothing.
  EXPECT_EQ(ApplyIniEdits(after, {{"WebPost", "ISPName", "new"}, {"Spam", "max_commands", "10"}}),
            after);

  TTempDir dir;
  const std::string path = dir.File("server.ini");
  test::WriteFile(path, after);
  TIniFile ini;
  ASSERT_TRUE(ini.Load(path));
  EXPECT_EQ(ini.ReadInteger("Main Config", "HTTPServer Port", 0), 9000);
  EXPECT_EQ(ini.ReadInteger("Main Config", "TCPQueryPort", -1), 0);
  EXPECT_EQ(ini.ReadString("WebPost", "ISPName", ""), "new");
  EXPECT_EQ(ini.ReadString("Other", "x", "gone"), "gone");
}

TEST(IniEdits, FileWriteRefusesControlCharactersAndCreatesAMissingFile) {
  TTempDir dir;
  const std::string path = dir.File("server.ini");
  test::WriteFile(path, "[a]\nk=v");  // no line end at the end of the file
  std::string error;
  EXPECT_FALSE(UpdateIniFile(path, {{"a", "k", "ok"}, {"a", "j", "x\n[Evil]"}}, error));
  EXPECT_NE(error.find("control character"), std::string::npos);
  EXPECT_EQ(ReadFile(path), "[a]\nk=v");  // nothing of the refused batch was written
  ASSERT_TRUE(UpdateIniFile(path, {{"a", "j", "2"}}, error)) << error;
  EXPECT_EQ(ReadFile(path), "[a]\nk=v\nj=2\n");

  const std::string fresh = dir.File("new.ini");
  ASSERT_TRUE(UpdateIniFile(fresh, {{"debug", "MessageTypes", "LMTALL"}}, error)) << error;
  EXPECT_EQ(ReadFile(fresh), "[debug]\nMessageTypes=LMTALL\n");
  EXPECT_FALSE(UpdateIniFile(dir.Path(), {{"a", "k", "v"}}, error));  // a directory
}

}  // namespace
}  // namespace vh

#include "common/Log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <sstream>
#include <thread>

#include "common/IniFile.h"
#include "support/TempDir.h"

namespace vh {
namespace {

using test::ReadFile;
using test::TTempDir;
using test::WriteFile;

TEST(LogFilter, SettingsWithoutDebugSectionGetDefaultsWrittenAndPassEverything) {
  TTempDir dir;
  WriteFile(dir.File("server.ini"), "; operator comment\n[Main Config]\nTCPQueryPort=1\n");
  TMemoryLog log;
  log.ReadFilter(dir.File("server.ini"));
  std::string ini = ReadFile(dir.File("server.ini"));
  EXPECT_NE(ini.find("MessageTypes=LMTALL"), std::string::npos);
  EXPECT_NE(ini.find("MessageDepths=LMDALL"), std::string::npos);
  EXPECT_NE(ini.find("; operator comment"), std::string::npos);
  EXPECT_NE(ini.find("TCPQueryPort=1"), std::string::npos);
  for (uint8_t k = 0; k < 4; ++k)
    for (uint8_t d = 0; d < 6; ++d) EXPECT_TRUE(log.Passes(k, d)) << int(k) << "/" << int(d);
}

TEST(LogFilter, EachMissingKeyGetsItsOwnDefaultAndTheOtherIsKept) {
  TTempDir dir;
  WriteFile(dir.File("server.ini"), "[debug]\nMessageTypes=LMTERROR\n");
  TMemoryLog errorsOnly;
  EXPECT_TRUE(errorsOnly.ReadFilter(dir.File("server.ini")));
  EXPECT_TRUE(errorsOnly.Passes(LMT_ERROR, LMD_ALL));
  EXPECT_FALSE(errorsOnly.Passes(LMT_ALL, LMD_INFO));
  std::string ini = ReadFile(dir.File("server.ini"));
  EXPECT_NE(ini.find("MessageTypes=LMTERROR\n"), std::string::npos) << ini;
  EXPECT_NE(ini.find("MessageDepths=LMDALL\n"), std::string::npos) << ini;

  WriteFile(dir.File("server.ini"), "[debug]\nMessageTypes=\nMessageDepths=LMDINFO\n");
  TMemoryLog infoOnly;
  EXPECT_TRUE(infoOnly.ReadFilter(dir.File("server.ini")));
  EXPECT_TRUE(infoOnly.Passes(LMT_WARNING, LMD_INFO));
  EXPECT_FALSE(infoOnly.Passes(LMT_ERROR, LMD_ALL));
  ini = ReadFile(dir.File("server.ini"));
  EXPECT_NE(ini.find("MessageTypes=LMTALL\n"), std::string::npos) << ini;
  EXPECT_NE(ini.find("MessageDepths=LMDINFO\n"), std::string::npos) << ini;

  // The lines an operator must never lose pass any filter.
  errorsOnly.Log(LMT_WARNING, LMD_INFO, "filtered", "SERVER");
  errorsOnly.LogUnfiltered(LMT_WARNING, LMD_INFO, "kept", "SERVER");
  EXPECT_EQ(errorsOnly.Lines(), std::vector<std::string>{"WARNING,Info,SERVER,\tkept"});
}

TEST(LogFilter, KindAndDepthCombinations) {
  TMemoryLog log;
  log.SetFilter("LMTERROR", "LMDALL");
  EXPECT_TRUE(log.Passes(LMT_ERROR, LMD_ALL));
  EXPECT_TRUE(log.Passes(LMT_ERROR, LMD_INFO));
  EXPECT_FALSE(log.Passes(LMT_ALL, LMD_INFO));
  EXPECT_FALSE(log.Passes(LMT_WARNING, LMD_ALL));

  // Without the All depth bit, ERROR lines of depth All disappear too.
  log.SetFilter("LMTERROR", "LMDINFO");
  EXPECT_FALSE(log.Passes(LMT_ERROR, LMD_ALL));
  EXPECT_TRUE(log.Passes(LMT_ERROR, LMD_INFO));

  // Lower case works like upper case; words are found anywhere in the value.
  log.SetFilter("lmterror,lmtwarning", "x lmdcommands");
  EXPECT_TRUE(log.Passes(LMT_WARNING, LMD_COMMANDS));
  EXPECT_FALSE(log.Passes(LMT_DEBUG, LMD_COMMANDS));
  EXPECT_FALSE(log.Passes(LMT_WARNING, LMD_USEFULL));

  log.SetFilter("", "");
  EXPECT_FALSE(log.Passes(LMT_ALL, LMD_ALL));
}

TEST(LogFormat, PlaceholdersAreReplacedInOnePass) {
  EXPECT_EQ(FormatPlaceholders("Starting VirtualServer id:%1 with port:%2", {"1", "8767"}),
            "Starting VirtualServer id:1 with port:8767");
  // An argument's own text is never scanned again.
  EXPECT_EQ(FormatPlaceholders("%1 said %2", {"eve %2", "hi"}), "eve %2 said hi");
  // %10 is the tenth argument, not the first followed by "0".
  std::vector<std::string> ten = {"a", "b", "c", "d", "e", "f", "g", "h", "i", "j"};
  EXPECT_EQ(FormatPlaceholders("%1-%10", ten), "a-j");
  // Placeholders without an argument stay; %10 with one argument is not %1 then "0".
  EXPECT_EQ(FormatPlaceholders("%1 %3 %10 100%", {"x"}), "x %3 %10 100%");
  EXPECT_EQ(FormatPlaceholders("no args %1", {}), "no args %1");
}

TEST(LogFormat, ThroughTheLogObject) {
  TMemoryLog log;
  log.LogFormat(LMT_ALL, LMD_INFO, {1, "port", 8767u}, "id:%1 %2:%3", "server");
  ASSERT_EQ(log.Lines().size(), 1u);
  EXPECT_EQ(log.Lines()[0], "ALL,Info,server,\tid:1 port:8767");
}

TEST(LogFormat, EnteredAndLeftForms) {
  TMemoryLog log;
  log.Entered(LMT_ALL, LMD_PROCEDUREINFO, "Start", "p");
  log.EnteredFormat(LMT_ALL, LMD_PROCEDUREINFO, {7}, "Start(%1)", "p");
  log.LeftFormat(LMT_ALL, LMD_PROCEDUREINFO, {7}, "Start(%1)", "p");
  log.LogMemory(LMT_ALL, LMD_INFO, "p");
  EXPECT_EQ(log.Lines(),
            (std::vector<std::string>{"ALL,ProcedureInfo,p,\t Entered Start",
                                      "ALL,ProcedureInfo,p,\t Entered Start(7)",
                                      "ALL,ProcedureInfo,p,\t Left Start(7)",
                                      "ALL,Info,p,\t !!! LogMemory not supported yet !!!"}));
}

TEST(LogFile, LineFormatBannersAndEscapes) {
  TTempDir dir;
  std::string path = dir.File("sub.log");
  {
    TLogFile log;
    log.SetFileName(path);
    log.SetFilter("LMTALL", "LMDALL");
    log.WriteOpeningBanner();
    log.Log(LMT_ALL, LMD_INFO, "Server init initialized", "server");
    log.Log(LMT_ERROR, LMD_ALL, "forged\r\n01-01-26 00:00:00,ALL,Info,server,\tx", "chat");
  }
  std::string text = ReadFile(path);
  std::regex expected(
      "-{63}\n-------------- log started at \\d\\d-\\d\\d-\\d\\d \\d\\d:\\d\\d -------------\n"
      "-{63}\n"
      "\\d\\d-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d,ALL,Info,server,\tServer init initialized\n"
      "\\d\\d-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d,ERROR,All,chat,\tforged\\\\r\\\\n01-01-26 "
      "00:00:00,ALL,Info,server,\\\\tx\n"
      "-{63}\n--------------- log ended at \\d\\d-\\d\\d-\\d\\d \\d\\d:\\d\\d --------------\n"
      "-{63}\n");
  EXPECT_TRUE(std::regex_match(text, expected)) << text;
}

// A nickname can carry any byte: none reaches the file or a terminal that shows it raw, and a
// typed backslash-n reads differently from an escaped line break.
TEST(LogFile, EveryControlByteAndTheBackslashAreEscaped) {
  TTempDir dir;
  const std::string path = dir.File("server.log");
  std::string all;
  for (int c = 0; c < 32; ++c) all.push_back(static_cast<char>(c));
  all += "\x7f typed\\n and\n";
  {
    TLogFile log;
    log.SetFileName(path);
    log.SetFilter("LMTALL", "LMDALL");
    log.LogFormat(LMT_ALL, LMD_INFO, {all}, "nick [%1]", "chat");
  }
  const std::string file = ReadFile(path);
  // The message stays one line.
  const std::string text = file.substr(0, file.find("]\n") + 2);
  ASSERT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << file;
  for (char c : text.substr(0, text.size() - 1))
    EXPECT_FALSE(static_cast<unsigned char>(c) < 32 && c != '\t') << static_cast<int>(c);
  // The tab after the category is the line format's own.
  EXPECT_EQ(std::count(text.begin(), text.end(), '\t'), 1) << text;
  EXPECT_NE(text.find(",chat,\tnick [\\x00\\x01"), std::string::npos) << text;
  EXPECT_NE(text.find("\\x07\\x08\\t\\n\\x0B\\x0C\\r"), std::string::npos) << text;
  EXPECT_NE(text.find("\\x1B"), std::string::npos) << text;
  EXPECT_NE(text.find("\\x1F\\x7F typed\\\\n and\\n]\n"), std::string::npos) << text;
}

TEST(LogFile, UnopenableFileDropsLinesAndRetries) {
  TTempDir dir;
  std::string path = dir.File("later/server.log");
  TLogFile log;
  log.SetFileName(path);
  log.SetFilter("LMTALL", "LMDALL");
  log.Log(LMT_ALL, LMD_INFO, "dropped", "server");  // directory missing: dropped, no crash
  std::filesystem::create_directory(dir.File("later"));
  log.Log(LMT_ALL, LMD_INFO, "kept", "server");
  std::string text = ReadFile(path);
  EXPECT_EQ(text.find("dropped"), std::string::npos);
  EXPECT_NE(text.find("kept"), std::string::npos);
}

TEST(LogFile, ConcurrentWritersNeverInterleaveWithinALine) {
  TTempDir dir;
  std::string path = dir.File("server.log");
  {
    TLogFile log;
    log.SetFileName(path);
    log.SetFilter("LMTALL", "LMDALL");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
      threads.emplace_back([&log, t] {
        std::string msg(200, static_cast<char>('a' + t));
        for (int i = 0; i < 200; ++i) log.Log(LMT_ALL, LMD_INFO, msg, "t");
      });
    for (auto& th : threads) th.join();
  }
  std::istringstream in(ReadFile(path));
  std::string line;
  int lines = 0;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '-') continue;
    std::string msg = line.substr(line.find('\t') + 1);
    ASSERT_EQ(msg.size(), 200u);
    EXPECT_EQ(msg.find_first_not_of(msg[0]), std::string::npos);
    ++lines;
  }
  EXPECT_EQ(lines, 800);
}

}  // namespace
}  // namespace vh

namespace vh {
namespace {

using test::ReadFile;
using test::TTempDir;

// Log rotation: the file is moved away and the log reopened, a hundred times while another
// thread writes. Every line must land exactly once, in order, in one of the moved files or the
// live one, and the live file must be the one the name points to afterwards.
TEST(LogFile, ReopenStormAfterMovesLosesNoLineAndEndsOnTheNamedFile) {
  TTempDir dir;
  TLogFile log;
  log.SetFilter("LMTALL", "LMDALL");
  log.SetFileName(dir.File("server.log"));
  constexpr int kLines = 3000;
  constexpr int kReopens = 100;
  std::thread writer([&] {
    for (int i = 0; i < kLines; ++i)
      log.Log(LMT_ALL, LMD_INFO, "line " + std::to_string(i), "test");
  });
  for (int r = 0; r < kReopens; ++r) {
    // Moves happen while lines are being written, and also before the first one.
    std::error_code ec;
    std::filesystem::rename(dir.File("server.log"), dir.File("moved." + std::to_string(r)), ec);
    log.Reopen();
  }
  writer.join();
  log.Log(LMT_ALL, LMD_INFO, "after the storm", "test");

  std::string all;
  for (int r = 0; r < kReopens; ++r) all += ReadFile(dir.File("moved." + std::to_string(r)));
  const std::string live = ReadFile(dir.File("server.log"));
  EXPECT_NE(live.find("after the storm"), std::string::npos);
  all += live;
  std::istringstream in(all);
  std::string line;
  int next = 0;
  while (std::getline(in, line)) {
    const size_t at = line.find("\tline ");
    if (at == std::string::npos) continue;
    ASSERT_EQ(line.substr(at + 6), std::to_string(next)) << "lost or reordered line";
    ++next;
  }
  EXPECT_EQ(next, kLines);
}

}  // namespace
}  // namespace vh

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "common/IniFile.h"
#include "common/Log.h"
#include "common/SocketBinding.h"
#include "host/CommandLine.h"
#include "host/ServerHost.h"
#include "host/Settings.h"
#include "host/StartupSteps.h"
#include "support/TempDir.h"

namespace vh {
namespace {

using test::ReadFile;
using test::TTempDir;
using test::WriteFile;

const std::string kVersion = "Version Voxhollow v2.0.20.1 Linux";

TEST(CommandLine, ValuedOptionsMatchAnywhereIgnoringCaseAndKeepTheValueCase) {
  TCommandLine a = ParseCommandLine({"-ini=C:\\x.ini"}, kVersion);
  TCommandLine b = ParseCommandLine({"-INI=C:\\x.ini"}, kVersion);
  EXPECT_EQ(a.settingsFile, "C:\\x.ini");
  EXPECT_EQ(b.settingsFile, "C:\\x.ini");

  // The first option in table order wins, even when it is not at the start: the value is cut
  // by the length of the option text from the front of the argument.
  TCommandLine c = ParseCommandLine({"x-DB=/Data/S.dbs"}, kVersion);
  EXPECT_EQ(c.databaseFile, "=/Data/S.dbs");
  TCommandLine d = ParseCommandLine({"-DB=a-INI=b"}, kVersion);
  EXPECT_EQ(d.settingsFile, "-INI=b");
  EXPECT_FALSE(d.databaseFile.has_value());
}

TEST(CommandLine, EveryOptionAndItsValueTreatment) {
  TCommandLine cl = ParseCommandLine(
      {"-db=/d/s.dbs", "-log=/l/S.log", "-pid=/run/v.pid", "-sql=/scripts", "-badnames=/b.txt",
       "-httpdocs= /web ", "-tcpquerydocs= /tq ", "-nopwdialog", "unknown"},
      kVersion);
  EXPECT_EQ(cl.databaseFile, "/d/s.dbs");
  EXPECT_EQ(cl.logFile, "/l/S.log");
  EXPECT_EQ(cl.pidFile, "/run/v.pid");
  EXPECT_EQ(cl.sqlDirectory, "/scripts");  // no separator added: joined to names as is
  EXPECT_EQ(cl.badNamesFile, "/b.txt");
  EXPECT_EQ(cl.httpDocsDirectory, "/web");
  EXPECT_EQ(cl.tcpQueryDocsDirectory, "/tq");
  EXPECT_TRUE(cl.noPasswordDialog);
  EXPECT_FALSE(cl.settingsFile.has_value());
  EXPECT_FALSE(cl.exitText.has_value());
}

TEST(CommandLine, VersionAndHelpRequests) {
  TCommandLine v = ParseCommandLine({"-ver", "-help"}, kVersion);
  ASSERT_TRUE(v.exitText);
  EXPECT_EQ(*v.exitText, kVersion);
  EXPECT_EQ(*ParseCommandLine({"--Version"}, kVersion).exitText, kVersion);

  const std::string help =
      kVersion +
      "\n\rCommand parameters:\n\r -db=<path>\n\r -ini=<path>\n\r -sql=<path>\n\r"
      " -log=<path>\n\r -pid=<path>\n\r -badnames=<filename>\n\r"
      " -httpdocs=<path>\n\r -tcpquerydocs=<path>\n\r";
  for (const char* arg :
       {"-?", "--?", "-h", "--H", "-HELP", "--help", "/HELP", "/?", "/h", "-hurry"}) {
    TCommandLine h = ParseCommandLine({arg}, kVersion);
    ASSERT_TRUE(h.exitText) << arg;
    EXPECT_EQ(*h.exitText, help) << arg;
  }
  // A valued option is matched before help: "-httpdocs=" begins with -H but is no request.
  EXPECT_FALSE(ParseCommandLine({"-httpdocs=/x"}, kVersion).exitText);
  // Help only at the very start of an argument.
  EXPECT_FALSE(ParseCommandLine({"x-help"}, kVersion).exitText);
}

TEST(Settings, MissingFileIsCompletedWithDefaultsAndRoundTrips) {
  TTempDir dir;
  TIniFile ini;
  ASSERT_TRUE(ini.Load(dir.File("server.ini")));
  TSettings s;
  ReadSettings(ini, s);
  std::string error;
  ASSERT_TRUE(UpdateIniFile(dir.File("server.ini"), SettingsEdits(s), error)) << error;
  std::string text = ReadFile(dir.File("server.ini"));
  for (const char* line : {"ExternalIPDectection=1",
                           "HTTPServer Port=14534",
                           "HTTPServer Enabled=1",
                           "DateTimeFormat=dd-mm-yyyy hh:nn:ss",
                           "TCPQueryPort=51234",
                           "AdminEmail=na",
                           "ISPLinkURL=na",
                           "ISPName=Private",
                           "ISPCountryNumber=0",
                           "Enabled=1",
                           "PostURL=",
                           "ListPublic=1",
                           "UserAgent=voxhollow",
                           "AllowedClientNameChars=",
                           "DisAllowedClientNameChars=()[]{}",
                           "access_r=0",
                           "access_u=0",
                           "channel_registerred=0",
                           "channel_unregisterred=0",
                           "sa=0",
                           "chat=0",
                           "kick_server=0",
                           "kick_channel=0",
                           "max_commands=10",
                           "in_seconds=2"})
    EXPECT_NE(text.find(std::string(line) + "\n"), std::string::npos) << line;
  // Never written back.
  EXPECT_EQ(text.find("GFX URL"), std::string::npos);
  EXPECT_EQ(text.find("TrayIdent"), std::string::npos);
  // Written in SaveBasicSettings order within [Main Config].
  EXPECT_LT(text.find("ExternalIPDectection"), text.find("HTTPServer Port"));
  EXPECT_LT(text.find("kick_server"), text.find("kick_channel"));
}

TEST(Settings, UnreadableValuesYieldDefaultsAndUnknownKeysSurvive) {
  TTempDir dir;
  WriteFile(dir.File("server.ini"),
            "; keep me\n[Main Config]\nHTTPServer Port=abc\nTCPQueryPort=0\nCustom=kept\n"
            "[log]\nkick_server=1\nkick_channel=1\n[WebPost]\nISPName=  " +
                std::string(40, 'n') + "  \n[Other]\nx=y\n[DBEXPRESS]\nActive=0\n");
  TIniFile ini;
  ASSERT_TRUE(ini.Load(dir.File("server.ini")));
  TSettings s;
  ReadSettings(ini, s);
  EXPECT_EQ(s.HTTPServerPort, 14534);
  EXPECT_EQ(s.TCPQueryPort, 0);
  EXPECT_TRUE(s.LogKickServer);
  EXPECT_TRUE(s.LogKickChannel);
  EXPECT_EQ(s.ISPName, std::string(29, 'n'));  // trimmed, then cut to its room
  std::string error;
  ASSERT_TRUE(UpdateIniFile(dir.File("server.ini"), SettingsEdits(s), error)) << error;

  TIniFile again;
  ASSERT_TRUE(again.Load(dir.File("server.ini")));
  TSettings t;
  ReadSettings(again, t);
  EXPECT_TRUE(t.LogKickServer);
  EXPECT_TRUE(t.LogKickChannel);
  EXPECT_EQ(t.TCPQueryPort, 0);
  std::string text = ReadFile(dir.File("server.ini"));
  EXPECT_NE(text.find("; keep me"), std::string::npos);
  EXPECT_NE(text.find("Custom=kept"), std::string::npos);
  EXPECT_NE(text.find("[Other]\nx=y"), std::string::npos);
  EXPECT_NE(text.find("Active=0"), std::string::npos);
  EXPECT_NE(text.find("HTTPServer Port=14534"), std::string::npos);
}

class HostFixture : public ::testing::Test {
 protected:
  void SetUp() override { Host().settingsFile = dir.File("server.ini"); }
  void TearDown() override { Host().boundAddress.clear(); }
  TTempDir dir;
};

TEST_F(HostFixture, BoundToIpMovesToBoundToIp1) {
  WriteFile(dir.File("server.ini"), "[Main Config]\nBoundToIp= 127.0.0.1 \n");
  std::vector<TSocketBinding> bindings;
  ApplyBoundAddresses(8767, bindings);
  ASSERT_EQ(bindings.size(), 1u);
  EXPECT_EQ(bindings[0].address, "127.0.0.1");
  EXPECT_EQ(bindings[0].port, 8767);
  std::string text = ReadFile(dir.File("server.ini"));
  EXPECT_EQ(text.find("BoundToIp="), std::string::npos);
  EXPECT_NE(text.find("BoundToIp1=127.0.0.1"), std::string::npos);

  // The next socket reads the migrated key.
  std::vector<TSocketBinding> next;
  ApplyBoundAddresses(51234, next);
  ASSERT_EQ(next.size(), 1u);
  EXPECT_EQ(next[0].address, "127.0.0.1");
  EXPECT_EQ(next[0].port, 51234);
}

TEST_F(HostFixture, SeveralAddressesBindEverySocketToEach) {
  WriteFile(dir.File("server.ini"),
            "[Main Config]\nBoundToIp1=127.0.0.1\nBoundToIp2=127.0.0.2\nBoundToIp4=127.0.0.4\n");
  std::vector<TSocketBinding> bindings;
  ApplyBoundAddresses(9000, bindings);
  ASSERT_EQ(bindings.size(), 2u);  // reading stops at the first empty key
  EXPECT_EQ(bindings[1].address, "127.0.0.2");
  EXPECT_EQ(Host().boundAddress, "127.0.0.1");
}

TEST_F(HostFixture, NoAddressLeavesBindingsUntouched) {
  WriteFile(dir.File("server.ini"), "[Main Config]\n");
  std::vector<TSocketBinding> bindings = {{"10.1.1.1", 5}};
  ApplyBoundAddresses(9000, bindings);
  ASSERT_EQ(bindings.size(), 1u);
  EXPECT_EQ(bindings[0].address, "10.1.1.1");
  EXPECT_NE(ReadFile(dir.File("server.ini")).find("BoundToIp1=\n"), std::string::npos);
}

TEST_F(HostFixture, FailedWriteBackIsLoggedAndLeavesTheOldFile) {
  // Tests run as root, where permission bits stop no write: the failures are made otherwise.
  const std::string conf = dir.File("conf");
  std::filesystem::create_directory(conf);
  Host().settingsFile = conf + "/server.ini";
  const std::string old = "[Main Config]\nHTTPServer Port=1\n";
  WriteFile(Host().settingsFile, old);
  auto memory = std::make_unique<TMemoryLog>();
  TMemoryLog* log = memory.get();
  InstallLog(std::move(memory));

  // A full disk: the file-size limit stops every write past 16 bytes, root's included.
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit tiny = saved;
  tiny.rlim_cur = 16;
  auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &tiny), 0);
  const bool written = SaveBasicSettings({});
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, oldHandler);
  EXPECT_FALSE(written);
  EXPECT_EQ(ReadFile(Host().settingsFile), old);
  EXPECT_EQ(log->Count("SaveBasicSettings: unable to write server config file: "), 1u);
  size_t entries = 0;
  for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(conf)) ++entries;
  EXPECT_EQ(entries, 1u);  // no temporary file left behind

  // With room again the same write goes through.
  EXPECT_TRUE(SaveBasicSettings({}));
  EXPECT_NE(ReadFile(Host().settingsFile).find("HTTPServer Port=14534\n"), std::string::npos);
  const std::string current = ReadFile(Host().settingsFile);

  // The directory replaced by a file under an open settings file: nothing can be created there.
  ASSERT_EQ(std::rename(conf.c_str(), (conf + ".moved").c_str()), 0);
  WriteFile(conf, "not a directory");
  EXPECT_FALSE(SaveBasicSettings({}));
  EXPECT_EQ(ReadFile(conf + ".moved/server.ini"), current);
  EXPECT_EQ(log->Count("SaveBasicSettings: unable to write server config file: "), 2u);
  DestroyLog();
}

// Every write-back starts from the file as it is on disk: an operator's edit made since the
// last reload and a comment survive a web save, a "globalset" and the completion at start.
TEST_F(HostFixture, WriteBackKeepsEditsMadeOnDiskSinceTheLastReload) {
  Host().settings = TSettings{};
  WriteFile(dir.File("server.ini"),
            "[Main Config]\nHTTPServer Port=14534\n[Spam]\nmax_commands=10\n");
  const std::string edited =
      "; tuned by hand\n[Main Config]\nHTTPServer Port = 9000\n[Spam]\nmax_commands=10\n"
      "in_seconds=oops\n# keep\n";
  WriteFile(dir.File("server.ini"), edited);  // after the settings were read

  const TAdminContext admin = HostAdminContext();
  TAdminSettings basic = admin.Settings();
  basic.ISPName = "Hosting Ltd";
  basic.SpamMaxCommands = 20;
  admin.basicSet(basic);
  std::string text = ReadFile(dir.File("server.ini"));
  EXPECT_NE(text.find("; tuned by hand\n[Main Config]\nHTTPServer Port = 9000\n[Spam]\n"
                      "max_commands=20\nin_seconds=2\n# keep\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("[WebPost]\nAdminEmail=na\nISPLinkURL=na\nISPName=Hosting Ltd\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("HTTPServer Enabled"), std::string::npos) << text;  // not touched

  WriteFile(dir.File("server.ini"), text + "; added later\n[Main Config]\nTCPQueryPort=1\n");
  ASSERT_TRUE(admin.globalSet("disallowedclientnamechars", "<>"));
  text = ReadFile(dir.File("server.ini"));
  EXPECT_NE(
      text.find("; added later\n[Main Config]\nTCPQueryPort=1\nDisAllowedClientNameChars=<>\n"),
      std::string::npos)
      << text;
  EXPECT_NE(text.find("HTTPServer Port = 9000"), std::string::npos);

  // The completion at start adds what is missing and leaves every written value alone.
  Host().settings.SpamInSeconds = 5;
  ASSERT_TRUE(SaveBasicSettings({}, /*onlyMissing=*/true));
  const std::string completed = ReadFile(dir.File("server.ini"));
  EXPECT_NE(completed.find("max_commands=20\nin_seconds=2\n# keep\n"), std::string::npos);
  EXPECT_NE(completed.find("HTTPServer Enabled=1\n"), std::string::npos);
  EXPECT_EQ(completed.find("in_seconds=5"), std::string::npos);
  Host().settings = TSettings{};
}

// A program in a build tree keeps its files beside itself; an installed one (its data
// directories in ../share/voxhollow, none beside it) uses the service's directories.
TEST(DefaultFiles, BesideTheProgramInABuildTreeInTheSystemDirectoriesWhenInstalled) {
  TTempDir dir;
  std::filesystem::create_directories(dir.File("tree/bin/sqlite_sql"));
  std::filesystem::create_directories(dir.File("usr/bin"));
  std::filesystem::create_directories(dir.File("usr/share/voxhollow/sqlite_sql"));
  const TDefaultFiles tree = DefaultFiles(dir.File("tree/bin"));
  EXPECT_FALSE(tree.installed);
  EXPECT_EQ(tree.settings, dir.File("tree/bin/server.ini"));
  EXPECT_EQ(tree.database, dir.File("tree/bin/server.dbs"));
  const TDefaultFiles installed = DefaultFiles(dir.File("usr/bin"));
  EXPECT_TRUE(installed.installed);
  EXPECT_EQ(installed.settings, "/etc/voxhollow/server.ini");
  EXPECT_EQ(installed.database, "/var/lib/voxhollow/server.dbs");
  EXPECT_EQ(installed.badNames, "/var/lib/voxhollow/bad_names.txt");
  EXPECT_EQ(installed.log, "/var/log/voxhollow/server.log");
  // Neither layout (a program copied somewhere alone) counts as a build tree.
  EXPECT_FALSE(DefaultFiles(dir.File("tree")).installed);
}

TEST(Helpers, UptimeFormatting) {
  EXPECT_EQ(FormatUptime(0), "00:00:00");
  EXPECT_EQ(FormatUptime(3661), "01:01:01");
  EXPECT_EQ(FormatUptime(86399), "23:59:59");
  EXPECT_EQ(FormatUptime(86400), "1D 00:00:00");
  EXPECT_EQ(FormatUptime(12 * 86400 + 5 * 3600 + 7), "12D 05:00:07");
}

TEST(Helpers, RandomPasswordAlphabetAndLength) {
  const std::string alphabet = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::string all;
  for (int i = 0; i < 200; ++i) {
    std::string p = RandomPassword(16);
    ASSERT_EQ(p.size(), 16u);
    EXPECT_EQ(p.find_first_not_of(alphabet), std::string::npos);
    all += p;
  }
  // 3200 draws over 62 characters: every character shows up (a fixed or skewed source fails).
  for (char c : alphabet) EXPECT_NE(all.find(c), std::string::npos) << c;
  EXPECT_EQ(RandomPassword(0), "");
}

TEST(Helpers, PlatformLabelUnscrambles) {
  EXPECT_EQ(UnscramblePlatformLabel(kScrambledPlatformLabel), "Linux");
  // Invalid pairs count as 0; an odd last digit is ignored.
  EXPECT_EQ(UnscramblePlatformLabel("41zz4"), std::string("A\0", 2));
}

TEST(Helpers, BadNamesFileIsCompleted) {
  TTempDir dir;
  std::string path = dir.File("bad_names.txt");
  EXPECT_EQ(LoadBadNames(path), std::vector<std::string>{"server"});
  EXPECT_EQ(ReadFile(path), "server\n");

  WriteFile(path, "");
  EXPECT_EQ(LoadBadNames(path), std::vector<std::string>{"server"});
  EXPECT_EQ(ReadFile(path), "server\n");

  WriteFile(path, "admin\r\nroot\n");
  EXPECT_EQ(LoadBadNames(path), (std::vector<std::string>{"admin", "root", "server"}));
  EXPECT_EQ(ReadFile(path), "admin\r\nroot\n");  // "server" is added in memory only

  WriteFile(path, "SERVER\n");
  EXPECT_EQ(LoadBadNames(path), std::vector<std::string>{"SERVER"});
}

}  // namespace
}  // namespace vh

namespace vh {
namespace {

// The reload of SIGHUP and "rehash": the rules reach the virtual servers' policy, the ports
// the listening sockets were opened with stay, and a later file error changes nothing.
TEST_F(HostFixture, ReloadAppliesRunTimeSettingsAndKeepsThePorts) {
  TServerHost& h = Host();
  h.badNamesFile = dir.File("bad_names.txt");
  h.settings = TSettings{};
  h.settings.TCPQueryPort = 51234;
  WriteFile(h.badNamesFile, "Admin\n");
  WriteFile(h.settingsFile,
            "[Main Config]\nTCPQueryPort=4000\nDisAllowedClientNameChars=#\n"
            "[Spam]\nmax_commands=3\n[log]\nchat=1\n[Metrics]\nEnabled=1\n");
  ASSERT_TRUE(ReloadSettings());
  auto policy = h.environment.Policy();
  EXPECT_EQ(policy->SpamMaxCommands, 3);
  EXPECT_TRUE(policy->LogChat);
  EXPECT_EQ(policy->DisAllowedClientNameChars, "#");
  EXPECT_EQ(policy->BadNames, (std::vector<std::string>{"Admin", "server"}));
  EXPECT_EQ(h.settings.TCPQueryPort, 51234);
  EXPECT_FALSE(h.settings.MetricsEnabled);

  std::filesystem::remove(h.settingsFile);
  EXPECT_FALSE(ReloadSettings());
  EXPECT_EQ(h.environment.Policy()->SpamMaxCommands, 3);
}

// The desktop shell's GUI thread reads the settings while a reload replaces them: it sees one
// whole version or the other (the thread-sanitizer build catches a read without the lock).
TEST_F(HostFixture, ReadersOnOtherThreadsSeeEachReloadWhole) {
  TServerHost& h = Host();
  h.badNamesFile = dir.File("bad_names.txt");
  const std::string first = dir.File("a.ini"), second = dir.File("b.ini");
  WriteFile(first, "[WebPost]\nISPName=first\nISPCountryNumber=1\n");
  WriteFile(second, "[WebPost]\nISPName=second\nISPCountryNumber=2\n");
  std::atomic<bool> done{false};
  int torn = 0;
  std::thread reader([&] {
    while (!done.load()) {
      const TSettings s = SettingsCopy();
      if ((s.ISPName == "first") != (s.ISPCountryNumber == 1) ||
          (s.ISPName == "second") != (s.ISPCountryNumber == 2))
        ++torn;
    }
  });
  for (int i = 0; i < 30; ++i) {
    h.settingsFile = i % 2 ? second : first;
    EXPECT_TRUE(ReloadSettings());
  }
  done.store(true);
  reader.join();
  EXPECT_EQ(torn, 0);
  EXPECT_EQ(SettingsCopy().ISPName, "second");
}

}  // namespace
}  // namespace vh

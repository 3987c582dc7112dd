// The poster against real virtual servers on loopback ports, a UDP socket standing in for the
// list host and an HTTP server for the post URLs.
#include "weblist/WebPost.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "WebListEndpoints.h"
#include "common/Log.h"
#include "storage/Schema.h"
#include "storage/sqlite/SQLiteStorage.h"
#include "support/TempDir.h"
#include "vserver/ServerObject.h"
#include "vserver/VServerEnvironment.h"
#include "vserver/VirtualServerList.h"

namespace vh {
namespace {

using namespace std::chrono_literals;
using test::THttpEndpoint;
using test::TUdpEndpoint;

uint16_t FreeUdpPort() {
  TUdpEndpoint probe;
  return probe.Port();
}

std::string RecordName(const std::vector<uint8_t>& r) {
  return std::string(reinterpret_cast<const char*>(r.data() + 317), r[316]);
}

// The field names of a form body, in order.
std::vector<std::string> FieldNames(const std::string& body) {
  std::vector<std::string> names;
  size_t start = 0;
  while (start <= body.size()) {
    size_t end = body.find('&', start);
    if (end == std::string::npos) end = body.size();
    const std::string pair = body.substr(start, end - start);
    names.push_back(pair.substr(0, pair.find('=')));
    start = end + 1;
  }
  return names;
}

class WebPostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto log = std::make_unique<TMemoryLog>();
    log_ = log.get();
    InstallLog(std::move(log));
    environment_ = std::make_unique<TFixedVServerEnvironment>(
        THostPolicy{}, std::vector<std::string>{"127.0.0.1"});
    storage_ = std::make_unique<TSQLiteStorage>(dir_.File("server.dbs"),
                                                std::string(VH_SOURCE_DIR) + "/sqlite_sql/");
    ASSERT_TRUE(CreateTables(storage_.get()) && UpgradeDatabase(storage_.get()));
    list_ = std::make_unique<TVirtualServerList>();
    http_.AddFormHandler("/list");
    http_.AddFormHandler("/own1");
    http_.Server().Post("/loop", [&](const httplib::Request&, httplib::Response& res) {
      res.set_redirect(http_.Url("/loop"));
    });
    http_.Server().Post("/huge", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(std::string(300 * 1024, '\x01'), "application/octet-stream");
    });
    http_.AddHeldHandler("/slow");
    http_.Listen();
    settings_.ListHost = "127.0.0.1";
    settings_.ListPort = udp_.Port();
    settings_.UserAgent = "voxhollow-test";
    settings_.BoundAddress = "127.0.0.1";
    settings_.AllowPrivateTargets = true;  // every endpoint here is on 127.0.0.1
  }
  void TearDown() override {
    list_.reset();
    storage_.reset();
    DestroyLog();
  }

  std::shared_ptr<TServerObject> StartServer(const std::string& name,
                                             const std::string& postUrl = {}) {
    auto server = std::make_shared<TServerObject>(storage_.get(), list_.get(), environment_.get());
    if (!server->Start(0, FreeUdpPort())) return nullptr;
    TVirtualServerSettings s = server->Settings();
    s.Name = name;
    s.WebPostURL = postUrl;
    server->SetSettings(s);
    return server;
  }
  void SetSettings(const std::function<void(TWebPostSettings&)>& edit) {
    std::lock_guard lock(settingsMutex_);
    edit(settings_);
  }
  std::unique_ptr<TWebPost> NewPoster(TWebPost::TTiming timing = {}) {
    return std::make_unique<TWebPost>(
        *list_,
        [this] {
          std::lock_guard lock(settingsMutex_);
          return settings_;
        },
        timing);
  }
  std::vector<std::string> Paths() {
    std::vector<std::string> out;
    for (const auto& r : http_.Requests()) out.push_back(r.path);
    return out;
  }

  test::TTempDir dir_;
  TMemoryLog* log_ = nullptr;
  std::unique_ptr<TFixedVServerEnvironment> environment_;
  std::unique_ptr<TCustomStorage> storage_;
  std::unique_ptr<TVirtualServerList> list_;
  TUdpEndpoint udp_;
  THttpEndpoint http_;
  std::mutex settingsMutex_;
  TWebPostSettings settings_;  // guarded by settingsMutex_
};

TEST_F(WebPostTest, EnabledOffSendsOneRecordPerServerFromItsOwnPortAndNoHttp) {
  auto one = StartServer("first server", http_.Url("/own1"));
  auto two = StartServer("second server");
  ASSERT_TRUE(one && two);
  SetSettings([&](TWebPostSettings& s) {
    s.Enabled = false;
    s.PostURL = http_.Url("/list");
  });
  NewPoster()->PostingPass();

  std::map<uint16_t, std::string> namesByPort;
  for (const auto& d : udp_.ReceiveAll()) {
    ASSERT_EQ(d.bytes.size(), 403u);
    // The record names the port it was sent from: the server's own socket.
    EXPECT_EQ(d.bytes[377] | (d.bytes[378] << 8), d.fromPort);
    namesByPort[d.fromPort] = RecordName(d.bytes);
  }
  EXPECT_EQ(namesByPort, (std::map<uint16_t, std::string>{{one->BoundPort(), "first server"},
                                                          {two->BoundPort(), "second server"}}));
  EXPECT_TRUE(http_.Requests().empty());
}

TEST_F(WebPostTest, EnabledPostsToPostUrlAndEachServersOwnUrl) {
  auto one = StartServer("first server", http_.Url("/own1"));
  auto two = StartServer("second server");
  ASSERT_TRUE(one && two);
  SetSettings([&](TWebPostSettings& s) { s.PostURL = " " + http_.Url("/list") + " "; });
  auto poster = NewPoster();
  poster->PostingPass();
  EXPECT_EQ(Paths(), (std::vector<std::string>{"/list", "/own1", "/list"}));
  const auto requests = http_.Requests();
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].userAgent, "voxhollow-test");
  EXPECT_EQ(requests[0].contentType, "application/x-www-form-urlencoded");
  const std::vector<std::string> names = FieldNames(requests[0].body);
  ASSERT_EQ(names.size(), 21u);
  EXPECT_EQ(names.front(), "server_adminemail");
  EXPECT_EQ(names[10], "server_name");
  EXPECT_EQ(names.back(), "public");
  EXPECT_NE(requests[0].body.find("server_name=first+server&"), std::string::npos);
  EXPECT_NE(requests[0].body.find("&server_port=" + std::to_string(one->BoundPort()) + "&"),
            std::string::npos);
  EXPECT_EQ(udp_.ReceiveAll().size(), 2u);

  // Without a PostURL only the servers with their own post URL are posted.
  SetSettings([&](TWebPostSettings& s) { s.PostURL = "  "; });
  poster->PostingPass();
  EXPECT_EQ(Paths(), (std::vector<std::string>{"/list", "/own1", "/list", "/own1"}));
  EXPECT_EQ(udp_.ReceiveAll().size(), 2u);
}

TEST_F(WebPostTest, ServerStoppedAfterTheCopyIsSkipped) {
  auto one = StartServer("first server");
  auto two = StartServer("second server", http_.Url("/own1"));
  ASSERT_TRUE(one && two);
  SetSettings([&](TWebPostSettings& s) { s.PostURL = http_.Url("/list"); });
  auto poster = NewPoster();
  const TWebPost::TServerEntries entries = list_->ListVirtualServers();
  ASSERT_EQ(entries.size(), 2u);
  list_->StopVirtualServers(two->ServerID());
  poster->PostEntries(entries);
  const auto datagrams = udp_.ReceiveAll();
  ASSERT_EQ(datagrams.size(), 1u);
  EXPECT_EQ(datagrams[0].fromPort, one->BoundPort());
  EXPECT_EQ(Paths(), (std::vector<std::string>{"/list"}));
}

TEST_F(WebPostTest, NoListHostSendsNoRecord) {
  ASSERT_TRUE(StartServer("first server"));
  SetSettings([&](TWebPostSettings& s) {
    s.ListHost = "";
    s.Enabled = false;
  });
  NewPoster()->PostingPass();
  EXPECT_TRUE(udp_.ReceiveAll().empty());
}

TEST_F(WebPostTest, BadEndpointsNeitherStopThePassNorGrowWithoutBound) {
  auto one = StartServer("first server", http_.Url("/huge"));
  auto two = StartServer("second server", "http://127.0.0.1:1/refused");
  auto three = StartServer("third server", "not a url at all");
  ASSERT_TRUE(one && two && three);
  SetSettings([&](TWebPostSettings& s) { s.PostURL = http_.Url("/loop"); });
  NewPoster()->PostingPass();
  EXPECT_EQ(udp_.ReceiveAll().size(), 3u);
  const std::vector<std::string> paths = Paths();
  EXPECT_EQ(std::count(paths.begin(), paths.end(), "/huge"), 1);
  // The loop is followed a bounded number of times per post, then given up.
  const auto loops = std::count(paths.begin(), paths.end(), "/loop");
  EXPECT_GE(loops, 3 * 2);
  EXPECT_LE(loops, 3 * 25);
}

TEST_F(WebPostTest, ThreadPostsAfterItsWaitAndStopsAtOnceDuringAWait) {
  ASSERT_TRUE(StartServer("first server"));
  SetSettings([&](TWebPostSettings& s) { s.Enabled = false; });
  {
    auto poster = NewPoster({.wait = 20ms, .step = 5ms});
    poster->Start();
    TUdpEndpoint::TDatagram d;
    ASSERT_TRUE(udp_.Receive(d, 10000));
    EXPECT_EQ(d.bytes.size(), 403u);
    poster->Terminate();
    poster->WaitFor();
  }
  // A termination request in the middle of a 150-second wait.
  auto poster = NewPoster();
  poster->Start();
  const auto t0 = std::chrono::steady_clock::now();
  poster->Terminate();
  poster->WaitFor();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 1500ms);
}

TEST_F(WebPostTest, TerminationCancelsAPostInFlight) {
  ASSERT_TRUE(StartServer("first server"));
  SetSettings([&](TWebPostSettings& s) { s.PostURL = http_.Url("/slow"); });
  auto poster = NewPoster({.wait = 10ms, .step = 5ms, .httpTimeoutMs = 15000});
  poster->Start();
  ASSERT_TRUE(http_.WaitHeld());
  const auto t0 = std::chrono::steady_clock::now();
  poster->Terminate();
  poster->WaitFor();
  // Without the cancel the post would wait for the held reply (seconds).
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 3000ms);
}

TEST_F(WebPostTest, SlowHostDelaysNoOtherHostsPost) {
#if defined(__SANITIZE_THREAD__)
  // The two test endpoints are cpp-httplib servers, a library built without ThreadSanitizer:
  // their first requests, parsed at once on two servers' threads, read the library's
  // function-local statics behind a guard check TSan cannot see, and it reports a race inside
  // the library. The poster's other tests run under TSan.
  GTEST_SKIP() << "two cpp-httplib servers at once give false reports under ThreadSanitizer";
#endif
  // Two hosts: the first server's own URL hangs, the second's answers. Both posts are in one
  // pass; the good one arrives while the slow one is still held.
  THttpEndpoint good;
  good.AddFormHandler("/good");
  good.Listen();
  ASSERT_TRUE(StartServer("first server", http_.Url("/slow")));
  ASSERT_TRUE(StartServer("second server", good.Url("/good")));
  auto poster = NewPoster({.wait = 150000ms, .step = 250ms, .httpTimeoutMs = 15000});
  std::thread pass([&] { poster->PostingPass(); });
  ASSERT_TRUE(http_.WaitHeld());
  EXPECT_TRUE(good.WaitRequests(1));
  EXPECT_EQ(http_.Requests().size(), 1u);  // the slow post is still held
  http_.Release();
  pass.join();
}

TEST_F(WebPostTest, PrivateDestinationsAreRefusedUnlessAllowed) {
  ASSERT_TRUE(StartServer("first server", http_.Url("/own1")));
  SetSettings([&](TWebPostSettings& s) {
    s.AllowPrivateTargets = false;
    s.PostURL = http_.Url("/list");
  });
  auto poster = NewPoster();
  poster->PostingPass();
  EXPECT_TRUE(http_.Requests().empty());
  EXPECT_EQ(log_->Count("stopped: destination is a loopback, private or link-local address"), 2u);
  EXPECT_TRUE(log_->Contains("webpost"));

  SetSettings([&](TWebPostSettings& s) { s.AllowPrivateTargets = true; });
  poster->PostingPass();
  EXPECT_EQ(Paths(), (std::vector<std::string>{"/list", "/own1"}));
}

}  // namespace
}  // namespace vh

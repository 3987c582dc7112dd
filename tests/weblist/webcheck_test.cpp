// The external-address check against a small HTTP server on 127.0.0.1: the reply's lines, the
// switch, failing, slow, looping and oversized endpoints, one check at a time.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <optional>

#include "WebListEndpoints.h"
#include "weblist/ExternalIpDetection.h"

namespace vh {
namespace {

using namespace std::chrono_literals;
using test::THttpEndpoint;

// What one check reported: lines (or none) on done, nothing on error.
struct TOutcome {
  bool error = false;
  bool hadList = false;
  std::vector<std::string> lines;
};

class WebCheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    http_.Server().Get("/getip.php", [](const httplib::Request&, httplib::Response& res) {
      res.set_content("name=list<BR>IP=203.0.113.7<br>port=1", "text/html");
    });
    http_.Server().Get("/moved", [&](const httplib::Request&, httplib::Response& res) {
      res.set_redirect(http_.Url("/getip.php"));
    });
    http_.Server().Get("/loop", [&](const httplib::Request&, httplib::Response& res) {
      res.set_redirect(http_.Url("/loop"));
    });
    http_.Server().Get("/huge", [](const httplib::Request&, httplib::Response& res) {
      res.set_content("IP=1.1.1.1<br>" + std::string(200 * 1024, '\0'), "text/plain");
    });
    http_.Server().Get("/noip", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(std::string("\x01\x02\xff binary\r\nIPX=5"), "application/octet-stream");
    });
    http_.AddHeldHandler("/slow");
    http_.Listen();
  }

  // Runs one check through a detection holder and waits for its callback.
  TOutcome Check(const std::string& url, bool enabled = true, int timeoutMs = 5000) {
    std::promise<TOutcome> done;
    TExternalIpDetection detection;
    EXPECT_TRUE(detection.Start(
        enabled, url,
        [&](TWebCheck&, TWebCheck::TLines lines) {
          TOutcome o;
          o.hadList = lines != nullptr;
          if (lines) o.lines = *lines;
          done.set_value(o);
        },
        [&](TWebCheck&) {
          TOutcome o;
          o.error = true;
          done.set_value(o);
        },
        timeoutMs));
    auto future = done.get_future();
    EXPECT_EQ(future.wait_for(30s), std::future_status::ready);
    return future.get();
  }

  THttpEndpoint http_;
};

TEST_F(WebCheckTest, UpperCaseBreaksSplitTheReplyAndRedirectsAreFollowed) {
  for (const char* path : {"/getip.php", "/moved"}) {
    const TOutcome o = Check(http_.Url(path));
    ASSERT_FALSE(o.error) << path;
    ASSERT_TRUE(o.hadList);
    EXPECT_EQ(o.lines, (std::vector<std::string>{"name=list", "IP=203.0.113.7", "port=1"}));
    EXPECT_EQ(ExternalAddressFromLines(o.lines), "203.0.113.7");
  }
  // A reply without an "IP" line still ends in done: the address is just empty.
  const TOutcome noIp = Check(http_.Url("/noip"));
  ASSERT_FALSE(noIp.error);
  EXPECT_EQ(ExternalAddressFromLines(noIp.lines), "");
}

TEST_F(WebCheckTest, SwitchedOffOrWithoutAPageNoRequestIsMade) {
  const TOutcome off = Check(http_.Url("/getip.php"), /*enabled=*/false);
  EXPECT_FALSE(off.error);
  EXPECT_FALSE(off.hadList);
  const TOutcome noPage = Check("  ");
  EXPECT_FALSE(noPage.error);
  EXPECT_FALSE(noPage.hadList);
  EXPECT_TRUE(http_.Requests().empty());
}

TEST_F(WebCheckTest, FailingLoopingOversizedAndSlowEndpointsEndInError) {
  EXPECT_TRUE(Check(http_.Url("/missing")).error);           // 404
  EXPECT_TRUE(Check("http://127.0.0.1:1/getip.php").error);  // refused
  EXPECT_TRUE(Check("gopher://127.0.0.1/").error);
  EXPECT_TRUE(Check(http_.Url("/loop")).error);
  EXPECT_TRUE(Check(http_.Url("/huge")).error);
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_TRUE(Check(http_.Url("/slow"), true, /*timeoutMs=*/300).error);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 10s);
  const auto requests = http_.Requests();
  const auto loops = std::count_if(requests.begin(), requests.end(),
                                   [](const auto& r) { return r.path == "/loop"; });
  EXPECT_GT(loops, 1);
  EXPECT_LE(loops, 25);
}

TEST_F(WebCheckTest, ASecondStartWhileOneRunsStartsNoSecondCheck) {
  std::atomic<int> calls{0};
  auto detection = std::make_unique<TExternalIpDetection>();
  ASSERT_TRUE(detection->Start(
      true, http_.Url("/slow"), [&](TWebCheck&, TWebCheck::TLines) { ++calls; },
      [&](TWebCheck&) { ++calls; }, /*timeoutMs=*/20000));
  ASSERT_TRUE(http_.WaitHeld());
  EXPECT_TRUE(detection->Running());
  EXPECT_FALSE(detection->Start(true, http_.Url("/getip.php"), {}, {}));
  // Freeing the holder cancels the check in flight rather than waiting for its time-out.
  const auto t0 = std::chrono::steady_clock::now();
  detection.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
  EXPECT_EQ(http_.Requests().size(), 1u);
  // The second start replaced the callbacks of the running check: the first ones never ran.
  EXPECT_EQ(calls.load(), 0);
}

TEST(LocalAddresses, LoopbackNameResolvesToItsAddress) {
  const std::vector<std::string> local = AddressesOfHost("localhost");
  EXPECT_NE(std::find(local.begin(), local.end(), "127.0.0.1"), local.end());
  EXPECT_TRUE(AddressesOfHost("").empty());
}

}  // namespace
}  // namespace vh

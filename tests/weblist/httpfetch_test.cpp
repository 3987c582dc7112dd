// The outgoing request's limits against hostile pages on real loopback sockets: endless
// headers, a trickle, redirect loops and other schemes, and refused private destinations.
#include "weblist/HttpFetch.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "WebListEndpoints.h"
#include "common/Log.h"

namespace vh {
namespace {

using namespace std::chrono_literals;

// A TCP server on a free loopback port that reads one request per connection and then runs a
// behaviour against the connection; counts the bytes the behaviour managed to send.
class THostilePage {
 public:
  // Sends through `send` until it returns false (client gone) or the page stops.
  using TBehaviour =
      std::function<void(const std::function<bool(const std::string&)>& send,
                         const std::function<bool(std::chrono::milliseconds)>& pause)>;

  explicit THostilePage(TBehaviour behaviour) : behaviour_(std::move(behaviour)) {
    listen_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (listen_ < 0 || ::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(listen_, 8) != 0 ||
        ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
      throw std::runtime_error("cannot open the hostile page");
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~THostilePage() {
    {
      std::lock_guard lock(mutex_);
      stopped_ = true;
    }
    wake_.notify_all();
    ::shutdown(listen_, SHUT_RDWR);
    thread_.join();
    ::close(listen_);
  }
  std::string Url(const std::string& path = "/") const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  size_t BytesSent() const { return sent_.load(); }
  int Connections() const { return connections_.load(); }

 private:
  void Serve() {
    for (;;) {
      const int fd = ::accept(listen_, nullptr, nullptr);
      if (fd < 0) return;
      ++connections_;
      char buffer[4096];
      std::string request;
      while (request.find("\r\n\r\n") == std::string::npos) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        request.append(buffer, static_cast<size_t>(n));
      }
      auto send = [&](const std::string& data) {
        if (Stopped()) return false;
        const ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent_ += static_cast<size_t>(n);
        return true;
      };
      auto pause = [&](std::chrono::milliseconds ms) {
        std::unique_lock lock(mutex_);
        return !wake_.wait_for(lock, ms, [this] { return stopped_; });
      };
      behaviour_(send, pause);
      ::close(fd);
    }
  }
  bool Stopped() {
    std::lock_guard lock(mutex_);
    return stopped_;
  }

  TBehaviour behaviour_;
  int listen_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopped_ = false;  // guarded by mutex_
  std::atomic<size_t> sent_{0};
  std::atomic<int> connections_{0};
};

class HttpFetchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto log = std::make_unique<TMemoryLog>();
    log_ = log.get();
    InstallLog(std::move(log));
    options_.allowPrivateTargets = true;  // every page here is on 127.0.0.1
    options_.timeoutMs = 1500;
  }
  void TearDown() override { DestroyLog(); }

  TMemoryLog* log_ = nullptr;
  THttpOptions options_;
};

TEST_F(HttpFetchTest, EndlessHeadersStopAtTheLineOrSizeCapAndAreLogged) {
  THostilePage lines([](auto& send, auto&) {
    if (!send("HTTP/1.0 200 OK\r\n")) return;
    while (send("X-Filler: 0123456789\r\n")) {
    }
  });
  THttpResult r = HttpFetch(lines.Url(), nullptr, options_);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.failure, THttpFailure::TooManyHeaders);
  EXPECT_TRUE(r.body.empty());
  EXPECT_TRUE(log_->Contains("HTTP request to 127.0.0.1:"));
  EXPECT_TRUE(log_->Contains("more than 64 lines"));

  // One header line that never ends.
  THostilePage longLine([](auto& send, auto&) {
    if (!send("HTTP/1.0 200 OK\r\nX-Long: ")) return;
    const std::string block(1024, 'a');
    while (send(block)) {
    }
  });
  r = HttpFetch(longLine.Url(), nullptr, options_);
  EXPECT_EQ(r.failure, THttpFailure::HeaderTooLong);
  EXPECT_TRUE(log_->Contains("reply header longer than 16384 bytes"));

  // A body past the cap, announced or not.
  THostilePage body([](auto& send, auto&) {
    if (!send("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n")) return;
    const std::string block(4096, 'b');
    while (send(block)) {
    }
  });
  r = HttpFetch(body.Url(), nullptr, options_);
  EXPECT_EQ(r.failure, THttpFailure::BodyTooLong);
  EXPECT_TRUE(r.body.empty());
}

TEST_F(HttpFetchTest, TricklingPageEndsAtTheWholeExchangeDeadline) {
  // A byte of header every 100 ms keeps every single read alive; only the whole deadline ends
  // it. The same in the body.
  for (const bool inBody : {false, true}) {
    THostilePage trickle([inBody](auto& send, auto& pause) {
      if (inBody && !send("HTTP/1.0 200 OK\r\nContent-Length: 1000\r\n\r\n")) return;
      while (pause(100ms) && send("x")) {
      }
    });
    const auto t0 = std::chrono::steady_clock::now();
    const THttpResult r = HttpFetch(trickle.Url(), nullptr, options_);
    const auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_EQ(r.failure, THttpFailure::TimeOut) << inBody;
    EXPECT_GE(took, 1400ms);
    EXPECT_LT(took, 5000ms);  // the page would trickle on for 10 s and more
    EXPECT_TRUE(log_->Contains("no complete reply within 1500 ms"));
    EXPECT_GT(trickle.BytesSent(), 3u);
  }
}

TEST_F(HttpFetchTest, RedirectsAreCountedAndOnlyHttp) {
  test::THttpEndpoint http;
  http.Server().Get("/loop", [&](const httplib::Request&, httplib::Response& res) {
    res.set_redirect(http.Url("/loop"));
  });
  http.Server().Get("/relative", [](const httplib::Request&, httplib::Response& res) {
    res.set_redirect("target?x=1");
  });
  http.Server().Get("/target", [](const httplib::Request& req, httplib::Response& res) {
    res.set_content("arrived " + req.get_param_value("x"), "text/plain");
  });
  for (const std::string to : {"ftp://127.0.0.1/x", "file:///etc/passwd", "javascript:alert(1)"})
    http.Server().Get(
        "/to-" + to.substr(0, 3),
        [to](const httplib::Request&, httplib::Response& res) { res.set_redirect(to); });
  http.Listen();

  THttpResult r = HttpFetch(http.Url("/loop"), nullptr, options_);
  EXPECT_EQ(r.failure, THttpFailure::TooManyRedirects);
  EXPECT_EQ(http.Requests().size(), 1u + kHttpMaxRedirects);
  EXPECT_TRUE(log_->Contains("more than 5 redirects"));

  r = HttpFetch(http.Url("/relative"), nullptr, options_);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.body, "arrived 1");

  for (const std::string to : {"ftp", "fil", "jav"}) {
    r = HttpFetch(http.Url("/to-" + to), nullptr, options_);
    EXPECT_EQ(r.failure, THttpFailure::BadRedirect) << to;
  }
}

TEST_F(HttpFetchTest, PrivateDestinationsAreRefusedAfterResolutionUnlessAllowed) {
  test::THttpEndpoint http;
  http.Server().Get("/page", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("here", "text/plain");
  });
  http.Listen();
  options_.allowPrivateTargets = false;
  const std::string port = std::to_string(std::stoi(http.Url("").substr(17)));
  for (const std::string host : {"127.0.0.1", "localhost", "127.1.2.3"}) {
    const THttpResult r = HttpFetch("http://" + host + ":" + port + "/page", nullptr, options_);
    EXPECT_EQ(r.failure, THttpFailure::PrivateTarget) << host;
  }
  EXPECT_TRUE(http.Requests().empty());
  EXPECT_TRUE(log_->Contains("HTTP request to localhost:" + port + " stopped: destination is"));

  options_.allowPrivateTargets = true;
  const THttpResult r = HttpFetch(http.Url("/page"), nullptr, options_);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.body, "here");

  for (const char* refused :
       {"0.0.0.0", "10.1.2.3", "100.64.0.1", "127.0.0.1", "169.254.169.254", "172.16.0.1",
        "172.31.255.255", "192.168.1.1", "224.0.0.1", "::", "::1", "fe80::1", "fc00::1", "fd12::3",
        "ff02::1", "::ffff:127.0.0.1", "::ffff:10.0.0.1", "64:ff9b::a9fe:a9fe", "x"})
    EXPECT_TRUE(IsNonPublicAddress(refused)) << refused;
  for (const char* allowed : {"1.1.1.1", "172.32.0.1", "100.128.0.1", "8.8.8.8",
                              "2001:4860:4860::8888", "::ffff:8.8.8.8"})
    EXPECT_FALSE(IsNonPublicAddress(allowed)) << allowed;
}

}  // namespace
}  // namespace vh

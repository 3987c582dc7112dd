// The web interface and the metrics endpoint while one address attacks them over real
// sockets: connections beyond the per-address cap are closed at once, a request that dribbles
// in is cut off at its deadline, and an administrator from another address still gets in.
// The deadlines are shortened here; what they bound is the same.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "WebHarness.h"
#include "admin/MetricsEndpoint.h"
#include "admin/TlsCertificate.h"
#include "support/Process.h"
#include "support/TempDir.h"

namespace vh::test {
namespace {

using namespace std::chrono_literals;

// The attacker's address: the whole of 127/8 is loopback, the administrator uses 127.0.0.1.
constexpr const char* kAttacker = "127.0.0.2";

int ConnectFrom(const char* source, uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in from{};
  from.sin_family = AF_INET;
  ::inet_pton(AF_INET, source, &from.sin_addr);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  ::inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
      ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Whether the server has closed `fd` (end of stream or reset) within `timeout`.
bool ClosedWithin(int fd, std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  char buffer[512];
  while (true) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return true;  // anything it answered before closing is read past
  }
}

// Sends a request header a byte at a time, every 50 ms, on each connection, never finishing.
class TDribbler {
 public:
  // Sends `request` a byte at a time, then 'a' for ever.
  explicit TDribbler(std::vector<int> fds,
                     std::string request = "GET /index.html HTTP/1.1\r\nHost: x\r\nX-Slow: ")
      : fds_(std::move(fds)) {
    thread_ = std::thread([this, request] {
      for (size_t i = 0; !stop_.load(); ++i) {
        const char c = i < request.size() ? request[i] : 'a';
        for (int fd : fds_) ::send(fd, &c, 1, MSG_NOSIGNAL);
        std::this_thread::sleep_for(50ms);
      }
    });
  }
  ~TDribbler() {
    stop_ = true;
    thread_.join();
    for (int fd : fds_) ::close(fd);
  }
  const std::vector<int>& Fds() const { return fds_; }

 private:
  std::vector<int> fds_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST(WebGuards, OneAddressHoldsFewConnectionsForLittleTimeAndTheAdminGetsIn) {
  constexpr size_t kCap = 4;
  TWebHarness h(THttpGuards{3000ms, kCap});
  std::vector<int> attack;
  for (int i = 0; i < 12; ++i) {
    const int fd = ConnectFrom(kAttacker, h.WebPort());
    ASSERT_GE(fd, 0) << i;
    attack.push_back(fd);
  }
  // Beyond the cap, each connection is closed as soon as it is accepted.
  ASSERT_TRUE(WaitUntil([&] { return h.Web().OpenConnections() == kCap; }, 5s));
  size_t closed = 0;
  std::vector<int> held;
  for (int fd : attack) {
    if (ClosedWithin(fd, 50ms)) {
      ++closed;
      ::close(fd);
    } else {
      held.push_back(fd);
    }
  }
  EXPECT_EQ(closed, attack.size() - kCap);
  ASSERT_EQ(held.size(), kCap);

  TDribbler dribbler(held);
  const auto start = std::chrono::steady_clock::now();
  TBrowser admin(h.WebPort());
  EXPECT_TRUE(admin.SuperLogin());
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  // The dribbled requests end at their deadline, however steadily the bytes come; the address
  // may connect again.
  for (int fd : dribbler.Fds()) EXPECT_TRUE(ClosedWithin(fd, 10s));
  ASSERT_TRUE(WaitUntil([&] { return h.Web().OpenConnections() == 0; }, 5s));
  const int again = ConnectFrom(kAttacker, h.WebPort());
  ASSERT_GE(again, 0);
  EXPECT_TRUE(WaitUntil([&] { return h.Web().OpenConnections() == 1; }, 5s));
  ::close(again);
  // A request that arrives whole in time is answered on the same guarded connection.
  EXPECT_EQ(admin.Get("/index.html").status, 200);
}

TEST(WebGuards, OverTlsTheCertificateIsKeptTheHandshakeHasTheDeadlineAndTheCookieIsSecure) {
  TTempDir dir;
  const TCertificateFiles files{dir.File("cert.pem"), dir.File("key.pem")};
  ASSERT_TRUE(EnsureSelfSignedCertificate(files, "localhost"));
  const std::string fingerprint = CertificateFingerprint(files.certificate);
  EXPECT_EQ(fingerprint.size(), 32u * 3 - 1);
  // A later start keeps the pair; half a pair is an error, never silently replaced.
  EXPECT_FALSE(EnsureSelfSignedCertificate(files, "localhost"));
  EXPECT_EQ(CertificateFingerprint(files.certificate), fingerprint);
  struct stat st {};
  ASSERT_EQ(::stat(files.privateKey.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_THROW(EnsureSelfSignedCertificate({files.certificate, dir.File("other.pem")}, "localhost"),
               std::runtime_error);
  EXPECT_THROW(CheckCertificateFiles({files.certificate, dir.File("missing.pem")}),
               std::runtime_error);

  const THttpTls tls{files.certificate, files.privateKey};
  TWebHarness h(THttpGuards{500ms, 4}, &tls);
  EXPECT_TRUE(h.Web().Https());
  // A handshake that dribbles in (a record header, then its body a byte at a time) is cut at
  // the request deadline like a dribbled request.
  const int slow = ConnectFrom(kAttacker, h.WebPort());
  ASSERT_GE(slow, 0);
  {
    TDribbler dribbler({slow}, std::string("\x16\x03\x01\x02\x00", 5));
    EXPECT_TRUE(ClosedWithin(slow, 3s));
  }

  httplib::SSLClient client("127.0.0.1", h.WebPort());
  client.enable_server_certificate_verification(false);
  auto login = client.Post("/login.vhcmd", "superadmin=1&username=root&password=rootpw",
                           "application/x-www-form-urlencoded");
  ASSERT_TRUE(login);
  EXPECT_NE(login->get_header_value("Set-Cookie").find("; Secure"), std::string::npos)
      << login->get_header_value("Set-Cookie");
  EXPECT_EQ(login->get_header_value("Strict-Transport-Security"), "max-age=31536000");
  // Plain HTTP on the TLS port gets no page.
  httplib::Client plain("127.0.0.1", h.WebPort());
  plain.set_read_timeout(2, 0);
  auto refused = plain.Get("/index.html");
  EXPECT_TRUE(!refused || refused->status >= 400);
}

TEST(WebGuards, LoopbackInterfacesAnswerOnBothFamilies) {
  const int probe = ::socket(AF_INET6, SOCK_STREAM, 0);
  sockaddr_in6 any{};
  any.sin6_family = AF_INET6;
  any.sin6_addr = in6addr_loopback;
  const bool hasIPv6 =
      probe >= 0 && ::bind(probe, reinterpret_cast<sockaddr*>(&any), sizeof any) == 0;
  if (probe >= 0) ::close(probe);
  if (!hasIPv6) GTEST_SKIP() << "this host has no IPv6 loopback (::1)";
  TWebHarness h;
  httplib::Client web("::1", h.WebPort());
  const auto page = web.Get("/slogin.html");
  ASSERT_TRUE(page) << "the web interface on 127.0.0.1 does not answer on [::1]";
  EXPECT_EQ(page->status, 200);

  TMetricsEndpoint endpoint(h.Servers(), 0, THttpGuards{3000ms, 0});
  ASSERT_TRUE(endpoint.Start("127.0.0.1", 0));
  httplib::Client scraper("::1", endpoint.BoundPort());
  const auto scrape = scraper.Get("/metrics");
  ASSERT_TRUE(scrape) << "the metrics endpoint on 127.0.0.1 does not answer on [::1]";
  EXPECT_EQ(scrape->status, 200);
  endpoint.Stop();
}

TEST(MetricsGuards, DribblingConnectionsOnEveryThreadDelayAScrapeOnlyUntilTheirDeadline) {
  TQueryHarness h;
  TMetricsEndpoint endpoint(h.Servers(), 0, THttpGuards{500ms, 0});
  ASSERT_TRUE(endpoint.Start("127.0.0.1", 0));
  std::vector<int> fds;
  for (int i = 0; i < TMetricsEndpoint::kThreads + 2; ++i) {
    const int fd = ConnectFrom(kAttacker, endpoint.BoundPort());
    ASSERT_GE(fd, 0);
    fds.push_back(fd);
  }
  TDribbler dribbler(fds);
  httplib::Client scraper("127.0.0.1", endpoint.BoundPort());
  scraper.set_read_timeout(10, 0);
  const auto page = scraper.Get("/metrics");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_NE(page->body.find("voxhollow_uptime_seconds"), std::string::npos);
  for (int fd : dribbler.Fds()) EXPECT_TRUE(ClosedWithin(fd, 10s));
  endpoint.Stop();
}

}  // namespace
}  // namespace vh::test

#include "admin/tcpquery/TCPQuery.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "common/Log.h"
#include "common/NetAddress.h"
#include "common/SecurityLog.h"
#include "common/SocketBinding.h"
#include "transport/Clocks.h"
#include "vserver/VServerEnvironment.h"

namespace vh {

namespace {

constexpr const char* kCategory = "TCPQUERY";
constexpr const char* kTooManyConnections = "ERROR, too many connections\r\n";
constexpr int kSendTimeoutSeconds = 30;
constexpr size_t kReadChunk = 4096;

// Writes everything; false when the peer is gone or stalls past the send time-out.
bool WriteAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    text.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// Every address (no binding, "::" or "[::]") is one dual-stack socket, or an IPv4 one on a
// host without IPv6; "0.0.0.0" keeps to IPv4; a literal binds that address only.
int OpenListener(const std::string& address, uint16_t port, uint16_t& bound) {
  const bool dualStack = IsAnyAddressText(address) && address != "0.0.0.0";
  const std::string text = dualStack ? std::string("::") : address;
  const std::optional<TIpAddress> ip = ParseIpAddress(text);
  if (!ip)
    throw std::runtime_error("Could not bind to " + address + ":" + std::to_string(port) +
                             ": not an IPv4 or IPv6 address");
  int family = ip->v6 ? AF_INET6 : AF_INET;
  int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 && dualStack && errno == EAFNOSUPPORT) {
    family = AF_INET;
    fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  }
  if (fd < 0) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
  const int one = 1;
  const int zero = 0;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (family == AF_INET6)
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, dualStack ? &zero : &one, sizeof one);
  TSockAddr a{};
  socklen_t length = 0;
  MakeSockAddr(family == AF_INET && dualStack ? "0.0.0.0" : text, port, family, a, length);
  if (::bind(fd, &a.any, length) != 0 || ::listen(fd, 64) != 0) {
    const std::string reason = std::strerror(errno);
    ::close(fd);
    throw std::runtime_error("Could not bind to " + (address.empty() ? "[::]" : address) + ":" +
                             std::to_string(port) + ": " + reason);
  }
  socklen_t len = sizeof a;
  if (::getsockname(fd, &a.any, &len) == 0) bound = SockAddrPort(&a.any);
  return fd;
}

}  // namespace

TTCPQuery::TTCPQuery(TAdminContext context, const TClock& clock, TQueryLimits limits)
    : context_(std::move(context)),
      clock_(clock),
      limits_(limits),
      failures_(clock, std::string(kQueryInterface)),
      services_{context_, failures_, clock_, [this] { return Summaries(); }},
      interpreter_(services_) {}

TTCPQuery::~TTCPQuery() {
  Stop();
}

bool TTCPQuery::Start(uint16_t port, const std::string& address) {
  std::vector<TSocketBinding> bindings{TSocketBinding{address, port}};
  if (context_.environment && address.empty())
    context_.environment->ApplyBoundAddresses(port, bindings);
  try {
    uint16_t bound = port;
    for (const TSocketBinding& b : bindings) {
      // With port 0 every further address takes the port the first one got.
      listeners_.push_back(OpenListener(b.address, bound, bound));
      // Loopback asked for: a local tool may come over either family. Without IPv6 on this
      // host the IPv4 loopback serves alone.
      if (b.address == "127.0.0.1") {
        try {
          listeners_.push_back(OpenListener("::1", bound, bound));
        } catch (const std::exception& e) {
          LogFormat(LMT_WARNING, LMD_INFO, {bound},
                    std::string("TCPQuery: [::1]:%1 not bound, IPv4 only: ") + e.what(), kCategory);
        }
      }
    }
    boundPort_.store(bound);
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    wakeRead_ = pipeFds[0];
    wakeWrite_ = pipeFds[1];
  } catch (const std::exception& e) {
    startFailure_ = e.what();
    LogFormat(LMT_ERROR, LMD_ALL, {port},
              std::string("TCPQuery startup failed with port %1, Exception: ") + e.what(),
              kCategory);
    for (int fd : listeners_) ::close(fd);
    listeners_.clear();
    return false;
  }
  stopping_.store(false);
  acceptThread_ = std::thread([this] { AcceptLoop(); });
  return true;
}

void TTCPQuery::Stop() {
  if (!acceptThread_.joinable()) return;
  stopping_.store(true);
  const char wake = 1;
  [[maybe_unused]] ssize_t n = ::write(wakeWrite_, &wake, 1);
  acceptThread_.join();
  for (int fd : listeners_) ::close(fd);
  listeners_.clear();
  ::close(wakeRead_);
  ::close(wakeWrite_);
  wakeRead_ = wakeWrite_ = -1;
  std::list<TConnection> closing;
  {
    TLockGuard lock(mutex_);
    // Wakes every connection thread out of a blocking read or write.
    for (TConnection& c : connections_) ::shutdown(c.fd, SHUT_RDWR);
    closing.splice(closing.end(), connections_);
  }
  for (TConnection& c : closing) {
    if (c.thread.joinable()) c.thread.join();
    ::close(c.fd);
  }
}

size_t TTCPQuery::ConnectionCount() const {
  TLockGuard lock(mutex_);
  size_t n = 0;
  for (const TConnection& c : connections_) n += c.finished.load() ? 0 : 1;
  return n;
}

std::vector<TSessionSummary> TTCPQuery::Summaries() const {
  TLockGuard lock(mutex_);
  std::vector<TSessionSummary> out;
  for (const TConnection& c : connections_)
    if (!c.finished.load() && c.session) out.push_back(c.session->Summary());
  return out;
}

void TTCPQuery::AcceptLoop() {
  std::vector<pollfd> fds;
  for (int fd : listeners_) fds.push_back(pollfd{fd, POLLIN, 0});
  fds.push_back(pollfd{wakeRead_, POLLIN, 0});
  while (!stopping_.load()) {
    for (pollfd& p : fds) p.revents = 0;
    const int ready = ::poll(fds.data(), fds.size(), kPollMs);
    ReapFinished();
    failures_.Purge();  // so that a released address is logged when it is released
    if (ready <= 0) continue;
    for (size_t i = 0; i + 1 < fds.size(); ++i)
      if (fds[i].revents & POLLIN) Accept(fds[i].fd);
  }
}

void TTCPQuery::Accept(int listener) {
  TSockAddr peer{};
  socklen_t len = sizeof peer;
  const int fd = ::accept4(listener, &peer.any, &len, SOCK_CLOEXEC);
  if (fd < 0) return;
  const timeval sendTimeout{kSendTimeoutSeconds, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof sendTimeout);
  // Each answer is written whole and waited for: no wait for delayed acknowledgements.
  const int noDelay = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
  std::string address = SockAddrText(&peer.any);
  // Connections are counted per source: an IPv6 host owns its whole /64.
  const std::string source = SourceKey(address);
  TLockGuard lock(mutex_);
  size_t open = 0, fromAddress = 0;
  for (const TConnection& c : connections_) {
    if (c.finished.load()) continue;
    ++open;
    if (SourceKey(c.session->RemoteIP) == source) ++fromAddress;
  }
  if (open >= limits_.MaxConnections || fromAddress >= limits_.MaxPerAddress) {
    // No thread for it: one short line, then closed.
    WriteAll(fd, kTooManyConnections);
    ::close(fd);
    return;
  }
  TConnection& c = connections_.emplace_back();
  c.fd = fd;
  c.session = std::make_unique<TQuerySession>(std::move(address));
  c.thread = std::thread([this, &c] { Serve(c); });
}

void TTCPQuery::ReapFinished() {
  std::list<TConnection> done;
  {
    TLockGuard lock(mutex_);
    for (auto it = connections_.begin(); it != connections_.end();) {
      auto next = std::next(it);
      if (it->finished.load()) done.splice(done.end(), connections_, it);
      it = next;
    }
  }
  for (TConnection& c : done) {
    if (c.thread.joinable()) c.thread.join();
    ::close(c.fd);
  }
}

void TTCPQuery::WaitToAnswer(TQuerySession& session) {
  if (session.AnswerNotBeforeMs <= 0) return;
  // Measured on the query clock, waited in real time by this connection's thread alone.
  const double waitMs = session.AnswerNotBeforeMs - clock_.NowMs();
  session.AnswerNotBeforeMs = 0;
  WaitLoginDelay(waitMs, stopping_);
}

void TTCPQuery::Serve(TConnection& c) {
  TQuerySession& session = *c.session;
  // Since when the connection has been without a login (it opens without one).
  double withoutLoginSince = clock_.NowMs();
  try {
    if (WriteAll(c.fd, interpreter_.Open(session)) && !session.Close) {
      TQueryLineReader reader;
      std::vector<TQueryLine> lines;
      double lastData = withoutLoginSince;
      char buf[kReadChunk];
      while (!stopping_.load() && !session.Close) {
        pollfd p{c.fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, kPollMs);
        if (ready < 0 && errno != EINTR) break;
        const double now = clock_.NowMs();
        // Traffic does not extend the time to log in: only a login does.
        if (!session.Login && now - withoutLoginSince >= limits_.LoginTimeoutMs) break;
        if (ready <= 0) {
          if (now - lastData >= limits_.IdleTimeoutMs) break;
          continue;
        }
        const ssize_t n = ::recv(c.fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        lastData = clock_.NowMs();
        lines.clear();
        reader.Feed(std::string_view(buf, static_cast<size_t>(n)), lines);
        bool open = true;
        for (const TQueryLine& line : lines) {
          const bool hadLogin = session.Login.has_value();
          const std::string answer = interpreter_.HandleLine(session, line);
          if (hadLogin && !session.Login) withoutLoginSince = clock_.NowMs();
          WaitToAnswer(session);
          if (!answer.empty() && !WriteAll(c.fd, answer)) open = false;
          if (!open || session.Close || stopping_.load()) break;
        }
        if (!open) break;
      }
    }
  } catch (const std::exception& e) {
    LogException("TTCPQuery connection", e, kCategory);
  }
  // Ends the connection at once; the accept thread (or Stop) joins and closes the socket.
  ::shutdown(c.fd, SHUT_RDWR);
  c.finished.store(true);
}

}  // namespace vh

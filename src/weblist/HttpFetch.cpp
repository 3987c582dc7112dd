#include "weblist/HttpFetch.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>

#include "common/Log.h"
#include "common/NetAddress.h"
#include "common/Strings.h"

namespace vh {

using TClock = std::chrono::steady_clock;

// Registers one request's socket with a cancel object for the socket's lifetime.
class THttpCancelRegistration {
 public:
  THttpCancelRegistration(THttpCancel* cancel, int fd) : cancel_(cancel), fd_(fd) {
    if (!cancel_) return;
    TLockGuard lock(cancel_->mutex_);
    cancel_->active_.insert(fd_);
    // A cancel that came before the registration still ends this request.
    if (cancel_->Cancelled()) ::shutdown(fd_, SHUT_RDWR);
  }
  ~THttpCancelRegistration() {
    if (!cancel_) return;
    TLockGuard lock(cancel_->mutex_);
    cancel_->active_.erase(fd_);
  }
  THttpCancelRegistration(const THttpCancelRegistration&) = delete;
  THttpCancelRegistration& operator=(const THttpCancelRegistration&) = delete;

 private:
  THttpCancel* cancel_;
  int fd_;
};

void THttpCancel::Cancel() {
  TLockGuard lock(mutex_);
  cancelled_.store(true);
  for (int fd : active_) ::shutdown(fd, SHUT_RDWR);
}

bool SplitHttpUrl(const std::string& urlText, std::string& base, std::string& path) {
  std::string url = Trim(urlText);
  std::string scheme = "http";
  const size_t sep = url.find("://");
  if (sep != std::string::npos) {
    scheme = LowerCase(url.substr(0, sep));
    if (scheme != "http" && scheme != "https") return false;
    url = url.substr(sep + 3);
  }
  const size_t slash = url.find_first_of("/?");
  std::string authority = url.substr(0, slash);
  path = slash == std::string::npos ? "/" : url.substr(slash);
  if (path[0] == '?') path = "/" + path;
  std::string host = authority;
  int port = scheme == "https" ? 443 : 80;
  const size_t colon = authority.find(':');
  if (colon != std::string::npos) {
    host = authority.substr(0, colon);
    const std::string digits = authority.substr(colon + 1);
    if (digits.empty() || digits.size() > 5) return false;
    for (char c : digits)
      if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    port = std::stoi(digits);
    if (port < 1 || port > 65535) return false;
  }
  if (host.empty()) return false;
  for (char c : host)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != '_')
      return false;
  for (char c : path)
    if (static_cast<unsigned char>(c) <= ' ' || c == 0x7f) return false;
  base = scheme + "://" + host + ":" + std::to_string(port);
  return true;
}

std::string UrlEncodeForm(const std::vector<std::pair<std::string, std::string>>& fields) {
  static const char kHex[] = "0123456789ABCDEF";
  auto encode = [](std::string& out, const std::string& text) {
    for (unsigned char c : text) {
      if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
        out += static_cast<char>(c);
      } else if (c == ' ') {
        out += '+';
      } else {
        out += '%';
        out += kHex[c >> 4];
        out += kHex[c & 15];
      }
    }
  };
  std::string out;
  for (const auto& [name, value] : fields) {
    if (!out.empty()) out += '&';
    encode(out, name);
    out += '=';
    encode(out, value);
  }
  return out;
}

namespace {

bool NonPublicIPv4(uint32_t a) {
  auto in = [a](uint32_t net, int bits) { return (a >> (32 - bits)) == (net >> (32 - bits)); };
  return in(0x00000000, 8)      // "this" network, 0.0.0.0
         || in(0x0A000000, 8)   // 10/8
         || in(0x64400000, 10)  // 100.64/10, carrier NAT
         || in(0x7F000000, 8)   // loopback
         || in(0xA9FE0000, 16)  // link-local
         || in(0xAC100000, 12)  // 172.16/12
         || in(0xC0000000, 24)  // 192.0.0/24, protocol assignments
         || in(0xC0A80000, 16)  // 192.168/16
         || in(0xC6120000, 15)  // 198.18/15, benchmarking
         || in(0xE0000000, 4)   // multicast
         || in(0xF0000000, 4);  // reserved and broadcast
}

bool NonPublicSockaddr(const sockaddr* sa) {
  if (sa->sa_family == AF_INET)
    return NonPublicIPv4(ntohl(reinterpret_cast<const sockaddr_in*>(sa)->sin_addr.s_addr));
  if (sa->sa_family != AF_INET6) return true;
  const uint8_t* b = reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr.s6_addr;
  auto embedded = [b] {
    return (uint32_t(b[12]) << 24) | (uint32_t(b[13]) << 16) | (uint32_t(b[14]) << 8) | b[15];
  };
  static const uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  static const uint8_t kNat64[12] = {0, 0x64, 0xff, 0x9b, 0, 0, 0, 0, 0, 0, 0, 0};
  if (std::memcmp(b, kMapped, 12) == 0 || std::memcmp(b, kNat64, 12) == 0)
    return NonPublicIPv4(embedded());
  bool zeroHead = true;  // ::, ::1 and the old IPv4-compatible form
  for (int i = 0; i < 12; ++i) zeroHead = zeroHead && b[i] == 0;
  if (zeroHead) return true;
  if ((b[0] & 0xfe) == 0xfc) return true;                  // unique local fc00::/7
  if (b[0] == 0xfe && (b[1] & 0xc0) == 0x80) return true;  // link-local fe80::/10
  if (b[0] == 0xfe && (b[1] & 0xc0) == 0xc0) return true;  // old site-local fec0::/10
  if (b[0] == 0xff) return true;                           // multicast
  return false;
}

// One connection of the exchange, plain or TLS, on a non-blocking socket; every wait ends at
// the deadline.
class TConnection {
 public:
  TConnection(TClock::time_point deadline, THttpCancel* cancel)
      : deadline_(deadline), cancel_(cancel) {}
  ~TConnection() {
    registration_.reset();
    if (ssl_) SSL_free(ssl_);
    if (ctx_) SSL_CTX_free(ctx_);
    if (fd_ >= 0) ::close(fd_);
  }
  TConnection(const TConnection&) = delete;
  TConnection& operator=(const TConnection&) = delete;

  bool TimedOut() const { return timedOut_; }
  bool Connected() const { return connected_; }

  // Connects to one resolved address; false on failure or at the deadline.
  bool Connect(const addrinfo& a, const std::string& bindAddress) {
    fd_ = ::socket(a.ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return false;
    registration_ = std::make_unique<THttpCancelRegistration>(cancel_, fd_);
    const int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (!IsAnyAddressText(bindAddress)) {
      TSockAddr local{};
      socklen_t length = 0;
      if (!MakeSockAddr(bindAddress, 0, a.ai_family, local, length) ||
          ::bind(fd_, &local.any, length) != 0)
        return false;
    }
    if (::connect(fd_, a.ai_addr, a.ai_addrlen) != 0) {
      if (errno != EINPROGRESS || !Wait(POLLOUT)) return false;
      int error = 0;
      socklen_t len = sizeof error;
      if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0) return false;
    }
    connected_ = true;
    return true;
  }

  bool StartTls(const std::string& host) {
    ctx_ = SSL_CTX_new(TLS_client_method());
    if (!ctx_) return false;
    SSL_CTX_set_default_verify_paths(ctx_);
    SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER, nullptr);
    ssl_ = SSL_new(ctx_);
    if (!ssl_ || SSL_set_fd(ssl_, fd_) != 1) return false;
    SSL_set_tlsext_host_name(ssl_, host.c_str());
    SSL_set1_host(ssl_, host.c_str());
    for (;;) {
      const int r = SSL_connect(ssl_);
      if (r == 1) return true;
      if (!WaitTls(r)) return false;
    }
  }

  bool WriteAll(const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
      if (ssl_) {
        const int r = SSL_write(ssl_, data.data() + done, static_cast<int>(data.size() - done));
        if (r > 0) {
          done += static_cast<size_t>(r);
        } else if (!WaitTls(r)) {
          return false;
        }
        continue;
      }
      const ssize_t n = ::send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL);
      if (n > 0) {
        done += static_cast<size_t>(n);
      } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        if (!Wait(POLLOUT)) return false;
      } else if (n < 0 && errno != EINTR) {
        return false;
      }
    }
    return true;
  }

  // Appends what arrives next (at most `room` bytes). >0 bytes read, 0 end of reply, -1 error
  // or deadline.
  long ReadSome(std::string& into, size_t room) {
    char buffer[4096];
    const size_t want = std::min(room, sizeof buffer);
    if (want == 0) return -1;
    for (;;) {
      if (ssl_) {
        const int r = SSL_read(ssl_, buffer, static_cast<int>(want));
        if (r > 0) {
          into.append(buffer, static_cast<size_t>(r));
          return r;
        }
        const int e = SSL_get_error(ssl_, r);
        if (e == SSL_ERROR_ZERO_RETURN) return 0;
        if (!WaitTls(r)) return -1;
        continue;
      }
      const ssize_t n = ::recv(fd_, buffer, want, 0);
      if (n > 0) {
        into.append(buffer, static_cast<size_t>(n));
        return n;
      }
      if (n == 0) return 0;
      if (errno == EINTR) continue;
      if ((errno != EAGAIN && errno != EWOULDBLOCK) || !Wait(POLLIN)) return -1;
    }
  }

 private:
  bool Wait(short events) {
    for (;;) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - TClock::now());
      if (left.count() <= 0) {
        timedOut_ = true;
        return false;
      }
      pollfd p{fd_, events, 0};
      const int r = ::poll(&p, 1, static_cast<int>(left.count()) + 1);
      if (r > 0) return true;
      if (r < 0 && errno != EINTR) return false;
    }
  }
  bool WaitTls(int result) {
    const int e = SSL_get_error(ssl_, result);
    ERR_clear_error();
    if (e == SSL_ERROR_WANT_READ) return Wait(POLLIN);
    if (e == SSL_ERROR_WANT_WRITE) return Wait(POLLOUT);
    return false;
  }

  const TClock::time_point deadline_;
  THttpCancel* const cancel_;
  int fd_ = -1;
  std::unique_ptr<THttpCancelRegistration> registration_;
  SSL_CTX* ctx_ = nullptr;
  SSL* ssl_ = nullptr;
  bool timedOut_ = false;
  bool connected_ = false;
};

struct TTarget {
  std::string scheme, host, path;
  int port = 80;
  std::string HostHeader() const {
    const bool plain = (scheme == "http" && port == 80) || (scheme == "https" && port == 443);
    return plain ? host : host + ":" + std::to_string(port);
  }
  std::string Url() const { return scheme + "://" + HostHeader() + path; }
};

bool ParseTarget(const std::string& url, TTarget& t) {
  std::string base;
  if (!SplitHttpUrl(url, base, t.path)) return false;
  const size_t sep = base.find("://");
  const size_t colon = base.rfind(':');
  t.scheme = base.substr(0, sep);
  t.host = base.substr(sep + 3, colon - sep - 3);
  t.port = std::stoi(base.substr(colon + 1));
  return true;
}

// The absolute address a Location header leads to; empty when it names another scheme.
std::string ResolveLocation(const TTarget& from, std::string location) {
  location = Trim(location);
  size_t i = 0;
  if (!location.empty() && std::isalpha(static_cast<unsigned char>(location[0]))) {
    i = 1;
    while (i < location.size() && (std::isalnum(static_cast<unsigned char>(location[i])) ||
                                   location[i] == '+' || location[i] == '-' || location[i] == '.'))
      ++i;
    if (i < location.size() && location[i] == ':') {
      const std::string scheme = LowerCase(location.substr(0, i));
      if (scheme != "http" && scheme != "https") return {};
      if (location.compare(i, 3, "://") != 0) return {};
      return location;
    }
  }
  if (location.rfind("//", 0) == 0) return from.scheme + ":" + location;
  const std::string origin = from.scheme + "://" + from.HostHeader();
  if (!location.empty() && location[0] == '/') return origin + location;
  std::string dir = from.path.substr(0, from.path.find('?'));
  dir = dir.substr(0, dir.rfind('/') + 1);
  return origin + (dir.empty() ? "/" : dir) + location;
}

struct TReply {
  int status = 0;
  std::vector<std::pair<std::string, std::string>> headers;  // names in lower case
  std::string body;
  std::string Header(const std::string& name) const {
    for (const auto& [n, v] : headers)
      if (n == name) return v;
    return {};
  }
};

// Decodes a chunked body in place; false when it is malformed or incomplete.
bool Dechunk(std::string& body) {
  std::string out;
  size_t pos = 0;
  for (;;) {
    const size_t eol = body.find("\r\n", pos);
    if (eol == std::string::npos) return false;
    const std::string sizeText =
        Trim(body.substr(pos, body.find(';', pos) < eol ? body.find(';', pos) - pos : eol - pos));
    if (sizeText.empty() || sizeText.size() > 8) return false;
    size_t size = 0;
    for (char c : sizeText) {
      if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
      size = size * 16 + static_cast<size_t>(std::isdigit(static_cast<unsigned char>(c))
                                                 ? c - '0'
                                                 : std::tolower(c) - 'a' + 10);
    }
    pos = eol + 2;
    if (size == 0) break;
    if (body.size() < pos + size + 2) return false;
    out.append(body, pos, size);
    pos += size + 2;
  }
  body = std::move(out);
  return true;
}

class TExchange {
 public:
  TExchange(const THttpOptions& options, THttpCancel* cancel)
      : options_(options),
        cancel_(cancel),
        deadline_(TClock::now() + std::chrono::milliseconds(options.timeoutMs)) {}

  THttpResult Run(const std::string& url, const std::string* formBody) {
    TTarget target;
    if (!ParseTarget(url, target)) return Fail(THttpFailure::BadAddress, "not an http address");
    std::string method = formBody ? "POST" : "GET";
    std::string body = formBody ? *formBody : std::string();
    for (int redirects = 0;; ++redirects) {
      host_ = target.host + ":" + std::to_string(target.port);
      TReply reply;
      if (!Send(target, method, body, reply)) return std::move(result_);
      const int s = reply.status;
      const std::string location = reply.Header("location");
      if ((s == 301 || s == 302 || s == 303 || s == 307 || s == 308) && !location.empty()) {
        if (redirects >= options_.maxRedirects)
          return Fail(THttpFailure::TooManyRedirects,
                      "more than " + std::to_string(options_.maxRedirects) + " redirects");
        const std::string next = ResolveLocation(target, location);
        if (next.empty() || !ParseTarget(next, target))
          return Fail(THttpFailure::BadRedirect, "redirect to a non-http address");
        if (s == 303) {
          method = "GET";
          body.clear();
        }
        continue;
      }
      result_.ok = true;
      result_.status = s;
      result_.body = std::move(reply.body);
      return std::move(result_);
    }
  }

 private:
  THttpResult Fail(THttpFailure failure, const std::string& why) {
    result_ = {};
    result_.failure = failure;
    result_.error = why;
    const bool limit = failure != THttpFailure::Connect && failure != THttpFailure::Cancelled &&
                       failure != THttpFailure::BadAddress;
    if (limit)
      Log(LMT_WARNING, LMD_IMPORTANT, "HTTP request to " + host_ + " stopped: " + why,
          options_.logCategory);
    return result_;
  }
  bool FailIn(THttpFailure failure, const std::string& why) {
    Fail(failure, why);
    return false;
  }
  bool FailConnection(const TConnection& c, const std::string& what) {
    if (cancel_ && cancel_->Cancelled()) return FailIn(THttpFailure::Cancelled, "cancelled");
    if (c.TimedOut())
      return FailIn(THttpFailure::TimeOut,
                    "no complete reply within " + std::to_string(options_.timeoutMs) + " ms");
    return FailIn(THttpFailure::Connect, what);
  }

  // Resolves `host` and connects to its first address that may be contacted; null on failure.
  std::unique_ptr<TConnection> Open(const std::string& host, int port, bool checkTarget) {
    addrinfo hints{};
    // A bound address reaches only servers of its own family.
    const std::optional<TIpAddress> bound = IsAnyAddressText(options_.bindAddress)
                                                ? std::nullopt
                                                : ParseIpAddress(options_.bindAddress);
    hints.ai_family = !bound ? AF_UNSPEC : bound->v6 ? AF_INET6 : AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || !found) {
      FailIn(THttpFailure::BadAddress, "the host name does not resolve");
      return nullptr;
    }
    bool refused = false;
    std::unique_ptr<TConnection> c;
    for (addrinfo* a = found; a; a = a->ai_next) {
      if (checkTarget && !options_.allowPrivateTargets && NonPublicSockaddr(a->ai_addr)) {
        refused = true;
        continue;
      }
      c = std::make_unique<TConnection>(deadline_, cancel_);
      if (c->Connect(*a, options_.bindAddress)) break;
      if (c->TimedOut() || (cancel_ && cancel_->Cancelled())) break;
    }
    ::freeaddrinfo(found);
    if (c && c->Connected()) return c;
    if (refused && !(c && c->TimedOut()))
      FailIn(THttpFailure::PrivateTarget,
             "destination is a loopback, private or link-local address "
             "([WebPost] AllowPrivateTargets=0)");
    else if (c)
      FailConnection(*c, "cannot connect");
    else
      FailIn(THttpFailure::Connect, "cannot connect");
    return nullptr;
  }

  // Reads a reply's header block within the caps. Leaves what follows it in `rest`.
  bool ReadHead(TConnection& c, TReply& reply, std::string& rest) {
    std::string buffer;
    size_t end = std::string::npos, endLength = 0;
    while (end == std::string::npos) {
      const long n = c.ReadSome(buffer, options_.maxHeaderBytes + 4 - buffer.size());
      if (n <= 0) {
        if (n == 0) return FailIn(THttpFailure::Protocol, "reply ended inside its header");
        if (buffer.size() >= options_.maxHeaderBytes + 4 && !c.TimedOut())
          return FailIn(
              THttpFailure::HeaderTooLong,
              "reply header longer than " + std::to_string(options_.maxHeaderBytes) + " bytes");
        return FailConnection(c, "connection lost");
      }
      const size_t crlf = buffer.find("\r\n\r\n"), lf = buffer.find("\n\n");
      if (crlf != std::string::npos && (lf == std::string::npos || crlf < lf)) {
        end = crlf, endLength = 4;
      } else if (lf != std::string::npos) {
        end = lf, endLength = 2;
      }
      const size_t headSize = end == std::string::npos ? buffer.size() : end;
      const auto lines = std::count(buffer.begin(), buffer.begin() + headSize, '\n');
      if (lines > options_.maxHeaderLines)
        return FailIn(
            THttpFailure::TooManyHeaders,
            "reply header has more than " + std::to_string(options_.maxHeaderLines) + " lines");
      if (headSize > options_.maxHeaderBytes)
        return FailIn(
            THttpFailure::HeaderTooLong,
            "reply header longer than " + std::to_string(options_.maxHeaderBytes) + " bytes");
    }
    rest = buffer.substr(end + endLength);
    const std::string head = buffer.substr(0, end);
    size_t pos = 0;
    bool first = true;
    while (pos <= head.size()) {
      size_t eol = head.find('\n', pos);
      if (eol == std::string::npos) eol = head.size();
      std::string line = head.substr(pos, eol - pos);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      pos = eol + 1;
      if (first) {
        first = false;
        if (line.size() < 12 || line.compare(0, 7, "HTTP/1.") != 0 || line[8] != ' ' ||
            !std::isdigit(static_cast<unsigned char>(line[9])) ||
            !std::isdigit(static_cast<unsigned char>(line[10])) ||
            !std::isdigit(static_cast<unsigned char>(line[11])))
          return FailIn(THttpFailure::Protocol, "not an HTTP reply");
        reply.status = std::stoi(line.substr(9, 3));
        continue;
      }
      const size_t colon = line.find(':');
      if (colon == std::string::npos) continue;
      reply.headers.emplace_back(LowerCase(Trim(line.substr(0, colon))),
                                 Trim(line.substr(colon + 1)));
    }
    return true;
  }

  bool ReadBody(TConnection& c, TReply& reply, std::string body) {
    const std::string lengthText = reply.Header("content-length");
    int64_t length = -1;
    if (!lengthText.empty() && (!TryParseInt(lengthText, length) || length < 0))
      return FailIn(THttpFailure::Protocol, "bad Content-Length");
    const std::string tooLong =
        "reply body longer than " + std::to_string(options_.maxBody) + " bytes";
    if (length > static_cast<int64_t>(options_.maxBody))
      return FailIn(THttpFailure::BodyTooLong, tooLong);
    while (length < 0 || body.size() < static_cast<size_t>(length)) {
      if (body.size() > options_.maxBody) return FailIn(THttpFailure::BodyTooLong, tooLong);
      const long n = c.ReadSome(body, options_.maxBody + 1 - body.size());
      if (n == 0) break;
      if (n < 0) return FailConnection(c, "connection lost");
    }
    if (body.size() > options_.maxBody) return FailIn(THttpFailure::BodyTooLong, tooLong);
    if (length >= 0 && body.size() > static_cast<size_t>(length)) body.resize(length);
    if (LowerCase(reply.Header("transfer-encoding")).find("chunked") != std::string::npos &&
        !Dechunk(body))
      return FailIn(THttpFailure::Protocol, "broken chunked body");
    reply.body = std::move(body);
    return true;
  }

  bool Send(const TTarget& target, const std::string& method, const std::string& body,
            TReply& reply) {
    if (cancel_ && cancel_->Cancelled()) return FailIn(THttpFailure::Cancelled, "cancelled");
    const bool proxy = !options_.proxyHost.empty();
    std::unique_ptr<TConnection> connection = Open(
        proxy ? options_.proxyHost : target.host, proxy ? options_.proxyPort : target.port, !proxy);
    if (!connection) return false;
    TConnection& c = *connection;
    std::string proxyAuth;
    if (proxy && options_.proxyBasicAuth)
      proxyAuth = "Proxy-Authorization: Basic " +
                  Base64(options_.proxyUser + ":" + options_.proxyPassword) + "\r\n";
    if (proxy && target.scheme == "https") {
      const std::string authority = target.host + ":" + std::to_string(target.port);
      if (!c.WriteAll("CONNECT " + authority + " HTTP/1.0\r\nHost: " + authority + "\r\n" +
                      proxyAuth + "\r\n"))
        return FailConnection(c, "proxy connection lost");
      TReply tunnel;
      std::string rest;
      if (!ReadHead(c, tunnel, rest)) return false;
      if (tunnel.status != 200) return FailIn(THttpFailure::Connect, "proxy refused the tunnel");
    }
    if (target.scheme == "https" && !c.StartTls(target.host))
      return FailConnection(c, "TLS handshake failed");
    const bool absolute = proxy && target.scheme == "http";
    std::string request = method + " " + (absolute ? target.Url() : target.path) +
                          " HTTP/1.0\r\nHost: " + target.HostHeader() + "\r\n";
    if (absolute) request += proxyAuth;
    if (!options_.userAgent.empty()) request += "User-Agent: " + options_.userAgent + "\r\n";
    if (method == "POST")
      request += "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                 std::to_string(body.size()) + "\r\n";
    request += "Connection: close\r\n\r\n" + (method == "POST" ? body : std::string());
    if (!c.WriteAll(request)) return FailConnection(c, "connection lost while sending");
    std::string rest;
    return ReadHead(c, reply, rest) && ReadBody(c, reply, std::move(rest));
  }

  static std::string Base64(const std::string& in) {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < in.size(); i += 3) {
      uint32_t v = uint32_t(static_cast<uint8_t>(in[i])) << 16;
      if (i + 1 < in.size()) v |= uint32_t(static_cast<uint8_t>(in[i + 1])) << 8;
      if (i + 2 < in.size()) v |= static_cast<uint8_t>(in[i + 2]);
      out += kAlphabet[(v >> 18) & 63];
      out += kAlphabet[(v >> 12) & 63];
      out += i + 1 < in.size() ? kAlphabet[(v >> 6) & 63] : '=';
      out += i + 2 < in.size() ? kAlphabet[v & 63] : '=';
    }
    return out;
  }

  const THttpOptions& options_;
  THttpCancel* const cancel_;
  const TClock::time_point deadline_;
  std::string host_;
  THttpResult result_;
};

}  // namespace

bool IsNonPublicAddress(const std::string& address) {
  sockaddr_in v4{};
  v4.sin_family = AF_INET;
  if (::inet_pton(AF_INET, address.c_str(), &v4.sin_addr) == 1)
    return NonPublicSockaddr(reinterpret_cast<sockaddr*>(&v4));
  sockaddr_in6 v6{};
  v6.sin6_family = AF_INET6;
  if (::inet_pton(AF_INET6, address.c_str(), &v6.sin6_addr) == 1)
    return NonPublicSockaddr(reinterpret_cast<sockaddr*>(&v6));
  return true;
}

THttpResult HttpFetch(const std::string& url, const std::string* formBody,
                      const THttpOptions& options, THttpCancel* cancel) {
  TExchange exchange(options, cancel);
  return exchange.Run(url, formBody);
}

}  // namespace vh

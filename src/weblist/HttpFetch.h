// One outgoing HTTP/1.0 request, as the web-list poster and the address check make them, with
// every part of the exchange bounded: one deadline from name resolution's end through connect,
// headers and body (redirects included), caps on the header block's size and line count and
// on the body, a counted number of http(s)-only redirects, and (unless allowed) no private,
// loopback or link-local destination after resolution. A request that breaks a limit fails
// and logs a line naming the host and the limit. A THttpCancel lets another thread end the
// requests in flight (shutdown); it is shared between the requesting threads and the one that
// cancels, under its own mutex.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "common/Mutex.h"

namespace vh {

// The limits of every outgoing request, in one place.
inline constexpr int kWebPostDeadlineMs = 2000;   // one list post, connect to last byte
inline constexpr int kWebCheckDeadlineMs = 5000;  // the address-echo page
inline constexpr size_t kHttpMaxHeaderBytes = 16 * 1024;
inline constexpr int kHttpMaxHeaderLines = 64;
inline constexpr size_t kHttpMaxBody = 64 * 1024;
inline constexpr int kHttpMaxRedirects = 5;

// Lets another thread end the requests that share it: cancelling shuts their sockets down.
class THttpCancel {
 public:
  void Cancel();
  bool Cancelled() const { return cancelled_.load(); }

 private:
  friend class THttpCancelRegistration;
  TMutex mutex_;
  std::set<int> active_ GUARDED_BY(mutex_);  // sockets of the running requests
  std::atomic<bool> cancelled_{false};
};

struct THttpOptions {
  int timeoutMs = kWebPostDeadlineMs;  // the whole exchange, redirects included
  std::string userAgent;               // empty: none sent
  std::string bindAddress;             // local IPv4 address to connect from; empty: any
  std::string proxyHost;               // empty: no proxy
  int proxyPort = 0;
  bool proxyBasicAuth = false;
  std::string proxyUser, proxyPassword;
  size_t maxBody = kHttpMaxBody;
  size_t maxHeaderBytes = kHttpMaxHeaderBytes;  // the whole header block
  int maxHeaderLines = kHttpMaxHeaderLines;
  int maxRedirects = kHttpMaxRedirects;
  // Loopback, private, link-local and other non-public destinations are refused unless set.
  bool allowPrivateTargets = false;
  std::string logCategory = "http";
};

enum class THttpFailure {
  None,
  BadAddress,      // not an http(s) address, or the name does not resolve
  PrivateTarget,   // every address of the host is a refused destination
  Connect,         // no connection (refused, unreachable, TLS failure)
  TimeOut,         // the deadline passed
  HeaderTooLong,   // the header block passed maxHeaderBytes
  TooManyHeaders,  // the header block passed maxHeaderLines
  BodyTooLong,     // the body passed maxBody
  TooManyRedirects,
  BadRedirect,  // a redirect to anything but http(s)
  Protocol,     // not an HTTP reply, or a broken one
  Cancelled,
};

struct THttpResult {
  bool ok = false;  // a reply arrived (any status) within every limit
  int status = 0;
  std::string body;
  THttpFailure failure = THttpFailure::None;
  std::string error;  // why not ok, for the log
};

// An http:// or https:// address (no scheme means http) split into the base
// ("http://host:port") and the request path ("/" when none). False for anything else.
bool SplitHttpUrl(const std::string& url, std::string& base, std::string& path);

// Form encoding: letters, digits and -_.~ as they are, blank as "+", all else as %XX.
std::string UrlEncodeForm(const std::vector<std::pair<std::string, std::string>>& fields);

// A destination that the poster refuses unless allowed: unspecified, loopback, private,
// shared (carrier NAT), link-local, multicast and reserved IPv4 ranges, and their IPv6
// counterparts (::, ::1, fc00::/7, fe80::/10, ff00::/8, and IPv4 inside ::ffff:0:0/96 or
// 64:ff9b::/96). `address` is a numeric IPv4 or IPv6 text; anything else counts as refused.
bool IsNonPublicAddress(const std::string& address);

// GET when `formBody` is null, otherwise a POST of that application/x-www-form-urlencoded body.
THttpResult HttpFetch(const std::string& url, const std::string* formBody,
                      const THttpOptions& options, THttpCancel* cancel = nullptr);

}  // namespace vh

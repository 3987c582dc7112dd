// One HTTP request through cpp-httplib's client, as the web-list poster and the address check
// make them: a whole-request time-out, redirects followed, a capped reply body, and a cancel
// that another thread may call to end a request in flight (shutdown). Any thread; a
// THttpCancel is shared between the requesting thread and the one that cancels, under its
// own mutex.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace httplib {
class Client;
}

namespace vh {

// Lets another thread end the request a THttpFetch runs: cancelling closes its socket.
class THttpCancel {
 public:
  void Cancel();
  bool Cancelled() const { return cancelled_.load(); }

 private:
  friend class THttpFetchAccess;
  std::mutex mutex_;
  httplib::Client* active_ = nullptr;  // guarded by mutex_; the client of the running request
  std::atomic<bool> cancelled_{false};
};

struct THttpOptions {
  int timeoutMs = 2000;     // connect, each read, and the whole reply body
  std::string userAgent;    // empty: the library's own
  std::string bindAddress;  // local address to connect from; empty: any
  std::string proxyHost;    // empty: no proxy
  int proxyPort = 0;
  bool proxyBasicAuth = false;
  std::string proxyUser, proxyPassword;
  size_t maxBody = 64 * 1024;  // a longer reply fails the request
};

struct THttpResult {
  bool ok = false;  // a reply arrived (any status) and its body was within the cap
  int status = 0;
  std::string body;
  std::string error;  // why not ok, for the log
};

// An http:// or https:// address (no scheme means http) split into the client's base
// ("http://host:port") and the request path ("/" when none). False for anything else.
bool SplitHttpUrl(const std::string& url, std::string& base, std::string& path);

// Form encoding: letters, digits and -_.~ as they are, blank as "+", all else as %XX.
std::string UrlEncodeForm(const std::vector<std::pair<std::string, std::string>>& fields);

// GET when `formBody` is null, otherwise a POST of that application/x-www-form-urlencoded body.
THttpResult HttpFetch(const std::string& url, const std::string* formBody,
                      const THttpOptions& options, THttpCancel* cancel = nullptr);

}  // namespace vh

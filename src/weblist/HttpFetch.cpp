#include "weblist/HttpFetch.h"

#include <httplib.h>

#include <cctype>
#include <chrono>

#include "common/Strings.h"

namespace vh {

// Registers the running request's client with a cancel object for its lifetime.
class THttpFetchAccess {
 public:
  THttpFetchAccess(THttpCancel* cancel, httplib::Client& client) : cancel_(cancel) {
    if (!cancel_) return;
    std::lock_guard lock(cancel_->mutex_);
    cancel_->active_ = &client;
  }
  ~THttpFetchAccess() {
    if (!cancel_) return;
    std::lock_guard lock(cancel_->mutex_);
    cancel_->active_ = nullptr;
  }
  THttpFetchAccess(const THttpFetchAccess&) = delete;
  THttpFetchAccess& operator=(const THttpFetchAccess&) = delete;

 private:
  THttpCancel* cancel_;
};

void THttpCancel::Cancel() {
  cancelled_.store(true);
  std::lock_guard lock(mutex_);
  if (active_) active_->stop();
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

THttpResult HttpFetch(const std::string& url, const std::string* formBody,
                      const THttpOptions& options, THttpCancel* cancel) {
  THttpResult result;
  std::string base, path;
  if (!SplitHttpUrl(url, base, path)) {
    result.error = "not an http address";
    return result;
  }
  if (cancel && cancel->Cancelled()) {
    result.error = "cancelled";
    return result;
  }
  httplib::Client client(base);
  if (!client.is_valid()) {
    result.error = "not an http address";
    return result;
  }
  const auto timeout = std::chrono::milliseconds(options.timeoutMs);
  client.set_connection_timeout(timeout);
  client.set_read_timeout(timeout);
  client.set_write_timeout(timeout);
  client.set_follow_location(true);
  client.set_keep_alive(false);  // one request per connection: nothing stays open afterwards
  client.set_url_encode(false);
  if (!options.bindAddress.empty()) client.set_interface(options.bindAddress);
  if (!options.proxyHost.empty()) {
    client.set_proxy(options.proxyHost, options.proxyPort);
    if (options.proxyBasicAuth)
      client.set_proxy_basic_auth(options.proxyUser, options.proxyPassword);
  }

  httplib::Request request;
  request.method = formBody ? "POST" : "GET";
  request.path = path;
  if (!options.userAgent.empty()) request.set_header("User-Agent", options.userAgent);
  if (formBody) {
    request.set_header("Content-Type", "application/x-www-form-urlencoded");
    request.body = *formBody;
  }
  // A reply that dribbles in slowly must not outlive the time-out, nor a large one the cap.
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  bool overLimit = false, overTime = false;
  request.content_receiver = [&](const char* data, size_t size, uint64_t, uint64_t) {
    if (result.body.size() + size > options.maxBody) {
      overLimit = true;
      return false;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      overTime = true;
      return false;
    }
    if (cancel && cancel->Cancelled()) return false;
    result.body.append(data, size);
    return true;
  };

  THttpFetchAccess access(cancel, client);
  if (cancel && cancel->Cancelled()) {
    result.error = "cancelled";
    return result;
  }
  httplib::Result reply = client.send(request);
  if (overLimit) {
    result.error = "reply longer than " + std::to_string(options.maxBody) + " bytes";
  } else if (overTime) {
    result.error = "time-out";
  } else if (!reply) {
    result.error = httplib::to_string(reply.error());
  } else {
    result.ok = true;
    result.status = reply->status;
  }
  if (!result.ok) result.body.clear();
  return result;
}

}  // namespace vh

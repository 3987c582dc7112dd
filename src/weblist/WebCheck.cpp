#include "weblist/WebCheck.h"

#include "common/Log.h"
#include "common/Strings.h"

namespace vh {

std::vector<std::string> SplitReplyLines(const std::string& text) {
  std::string joined;
  joined.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    if (text.size() - i >= 4 && LowerCase(std::string_view(text).substr(i, 4)) == "<br>") {
      joined += "\r\n";
      i += 4;
    } else {
      joined += text[i++];
    }
  }
  std::vector<std::string> lines;
  std::string line;
  for (size_t i = 0; i < joined.size(); ++i) {
    const char c = joined[i];
    if (c != '\r' && c != '\n') {
      line += c;
      continue;
    }
    if (c == '\r' && i + 1 < joined.size() && joined[i + 1] == '\n') ++i;
    lines.push_back(std::move(line));
    line.clear();
  }
  if (!line.empty()) lines.push_back(std::move(line));
  return lines;
}

std::string ExternalAddressFromLines(const std::vector<std::string>& lines) {
  for (const std::string& line : lines) {
    const size_t eq = line.find('=');
    // The name is matched as written: "ip=" or "Ip=" is another line.
    if (eq != std::string::npos && line.compare(0, eq, "IP") == 0) return line.substr(eq + 1);
  }
  return {};
}

TWebCheck::~TWebCheck() {
  cancel_.Cancel();
  if (thread_.joinable()) thread_.join();
}

void TWebCheck::SetEnabled(bool enabled) {
  TLockGuard lock(mutex_);
  enabled_ = enabled;
}

void TWebCheck::SetURL(const std::string& url) {
  TLockGuard lock(mutex_);
  url_ = url;
}

void TWebCheck::SetProxy(const TProxy& proxy) {
  TLockGuard lock(mutex_);
  proxy_ = proxy;
}

void TWebCheck::SetOnDone(TOnDone onDone) {
  TLockGuard lock(mutex_);
  onDone_ = std::move(onDone);
}

void TWebCheck::SetOnError(TOnError onError) {
  TLockGuard lock(mutex_);
  onError_ = std::move(onError);
}

void TWebCheck::SetTimeoutMs(int ms) {
  TLockGuard lock(mutex_);
  timeoutMs_ = ms;
}

void TWebCheck::Resume() {
  TLockGuard lock(mutex_);
  if (!thread_.joinable()) thread_ = std::thread([this] { Execute(); });
}

void TWebCheck::Execute() {
  bool enabled;
  std::string url;
  THttpOptions options;
  {
    TLockGuard lock(mutex_);
    enabled = enabled_;
    url = Trim(url_);
    options.timeoutMs = timeoutMs_;
    options.proxyHost = proxy_.host;
    options.proxyPort = proxy_.port;
    options.proxyBasicAuth = proxy_.basicAuth;
    options.proxyUser = proxy_.user;
    options.proxyPassword = proxy_.password;
  }
  // The page is the operator's own setting ([Main Config] ExternalIPURL), not an admin's.
  options.allowPrivateTargets = true;
  options.logCategory = "webcheck";
  // The callbacks are taken when called: a later Start may have replaced them meanwhile.
  auto onDone = [this] {
    TLockGuard lock(mutex_);
    return onDone_;
  };
  auto onError = [this] {
    TLockGuard lock(mutex_);
    return onError_;
  };
  try {
    // Without an address-echo page there is nothing to ask: no external address, no error.
    if (!enabled || url.empty()) {
      if (TOnDone done = onDone()) done(*this, nullptr);
    } else {
      const THttpResult reply = HttpFetch(url, nullptr, options, &cancel_);
      if (reply.ok && reply.status >= 200 && reply.status < 300) {
        if (TOnDone done = onDone())
          done(*this, std::make_unique<std::vector<std::string>>(SplitReplyLines(reply.body)));
      } else if (TOnError error = onError()) {
        error(*this);
      }
    }
  } catch (const std::exception& e) {
    LogException("TWebCheck", e, "webcheck");
  }
  finished_.store(true);
}

}  // namespace vh

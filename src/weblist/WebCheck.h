// The external-address check: a short-lived thread that fetches the address-echo page and
// hands its lines to one of two callbacks, plus the pure reply helpers. Configured by its
// owner (any thread, under mutex_), run by its own thread, which calls the callbacks; the
// owner frees it once Finished() (TExternalIpDetection does).
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "weblist/HttpFetch.h"

namespace vh {

// Replaces every "<br>" (any letter case) by a line break and splits the text into lines (CR
// LF, LF or CR end a line; a final line break adds no empty line).
std::vector<std::string> SplitReplyLines(const std::string& text);
// The value of the first line named "IP" (name compared without regard to case); empty when
// there is none.
std::string ExternalAddressFromLines(const std::vector<std::string>& lines);

class TWebCheck {
 public:
  using TLines = std::unique_ptr<std::vector<std::string>>;
  // Receives the lines of the reply (the receiver owns them), or none when checking is off.
  using TOnDone = std::function<void(TWebCheck&, TLines)>;
  using TOnError = std::function<void(TWebCheck&)>;
  struct TProxy {
    bool basicAuth = false;
    int port = 0;
    std::string host, user, password;
  };
  static constexpr int kTimeoutMs = kWebCheckDeadlineMs;

  TWebCheck() = default;  // suspended: configure, then Resume
  ~TWebCheck();           // cancels a fetch in flight and joins
  TWebCheck(const TWebCheck&) = delete;
  TWebCheck& operator=(const TWebCheck&) = delete;

  void SetEnabled(bool enabled);
  void SetURL(const std::string& url);
  void SetProxy(const TProxy& proxy);
  void SetOnDone(TOnDone onDone);
  void SetOnError(TOnError onError);
  void SetTimeoutMs(int ms);
  // Starts the body once; later calls do nothing.
  void Resume();
  // The body has ended (both callbacks have returned).
  bool Finished() const { return finished_.load(); }
  void Cancel() { cancel_.Cancel(); }

 private:
  void Execute();

  TMutex mutex_;
  bool enabled_ GUARDED_BY(mutex_) = true;
  std::string url_ GUARDED_BY(mutex_);
  TProxy proxy_ GUARDED_BY(mutex_);
  TOnDone onDone_ GUARDED_BY(mutex_);
  TOnError onError_ GUARDED_BY(mutex_);
  int timeoutMs_ GUARDED_BY(mutex_) = kTimeoutMs;
  std::atomic<bool> finished_{false};
  THttpCancel cancel_;
  std::thread thread_;  // started by Resume, joined by the destructor
};

}  // namespace vh

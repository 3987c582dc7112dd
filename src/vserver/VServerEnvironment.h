// What a virtual server asks of the process that hosts it: the process-wide rules its
// handlers apply (audit switches, flood limits, nickname rules, the texts of the login reply)
// and the local addresses its socket binds to. The host implements it over server.ini; tests
// use TFixedVServerEnvironment. The listener thread reads the policy once per handler; an
// administration thread may replace it at any time (a rehash), so readers hold a snapshot.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/Mutex.h"
#include "common/PasswordCheckPool.h"
#include "common/SocketBinding.h"

namespace vh {

// The audit logs, each switched by a key of section [log]: the host's settings and the
// policy its virtual servers read share this one list.
struct TAuditSwitches {
  bool LogAccessRegistered = false;
  bool LogAccessUnregistered = false;
  bool LogChannelRegistered = false;
  bool LogChannelUnregistered = false;
  bool LogServerAdmin = false;
  bool LogChat = false;
  bool LogKickChannel = false;
  bool LogKickServer = false;
};

struct THostPolicy : TAuditSwitches {
  // Flood control: more than SpamMaxCommands commands within SpamInSeconds is a flood.
  int SpamMaxCommands = 10;
  int SpamInSeconds = 2;
  // Voice older than this in a player's queue is dropped when its turn comes (ms; 0 = never).
  int VoiceMaxQueueMs = 300;
  // Nickname rules; an empty allowed set falls back to the disallowed one.
  std::string AllowedClientNameChars;
  std::string DisAllowedClientNameChars = "()[]{}";
  std::vector<std::string> BadNames{"server"};
  // Texts of the login's closing packet.
  std::string GFXURL;
  std::string ISPLinkURL = "na";
};

class TVServerEnvironment {
 public:
  virtual ~TVServerEnvironment() = default;
  // A snapshot of the current rules; never null.
  virtual std::shared_ptr<const THostPolicy> Policy() const = 0;
  // Replaces `bindings` with the configured local addresses (left alone when none is
  // configured: every address of the machine).
  virtual void ApplyBoundAddresses(uint16_t port, std::vector<TSocketBinding>& bindings) = 0;
  // Where the listeners check login passwords: the process's pool unless a test gives its own.
  virtual TPasswordCheckPool& PasswordChecks() { return TPasswordCheckPool::Shared(); }
};

// A fixed policy and address list, replaceable at run time. Any thread.
class TFixedVServerEnvironment : public TVServerEnvironment {
 public:
  explicit TFixedVServerEnvironment(THostPolicy policy = {},
                                    std::vector<std::string> boundAddresses = {})
      : policy_(std::make_shared<const THostPolicy>(std::move(policy))),
        boundAddresses_(std::move(boundAddresses)) {}

  std::shared_ptr<const THostPolicy> Policy() const override {
    TLockGuard lock(mutex_);
    return policy_;
  }
  void SetPolicy(THostPolicy policy) {
    auto next = std::make_shared<const THostPolicy>(std::move(policy));
    TLockGuard lock(mutex_);
    policy_ = std::move(next);
  }
  // Before any server uses the environment; the pool outlives the servers.
  void SetPasswordChecks(TPasswordCheckPool* pool) { passwordChecks_ = pool; }
  TPasswordCheckPool& PasswordChecks() override {
    return passwordChecks_ ? *passwordChecks_ : TPasswordCheckPool::Shared();
  }
  void ApplyBoundAddresses(uint16_t port, std::vector<TSocketBinding>& bindings) override {
    TLockGuard lock(mutex_);
    if (boundAddresses_.empty()) return;
    bindings.clear();
    for (const std::string& a : boundAddresses_) bindings.push_back(TSocketBinding{a, port});
  }

 private:
  mutable TMutex mutex_;
  std::shared_ptr<const THostPolicy> policy_ GUARDED_BY(mutex_);
  std::vector<std::string> boundAddresses_ GUARDED_BY(mutex_);
  TPasswordCheckPool* passwordChecks_ = nullptr;  // set before use
};

// The environment of servers built without one: the default rules, every local address.
TVServerEnvironment& DefaultVServerEnvironment();

}  // namespace vh

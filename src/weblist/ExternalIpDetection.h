// The machine's addresses as an operator hands them to players: the local IPv4 addresses from
// the host's own name, and the external one through at most one TWebCheck at a time.
// TExternalIpDetection is used by one owner thread at a time (mutex_ guards the current
// check); the callbacks run on the check's thread and must not call back into the holder
// (freeing it joins that thread under mutex_).
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/NetAddress.h"
#include "weblist/WebCheck.h"

namespace vh {

// Every IPv4 address `hostName` resolves to, dotted, in the resolver's order; empty when the
// name does not resolve.
std::vector<std::string> AddressesOfHost(const std::string& hostName);
// The addresses of this machine for players: the IPv4 addresses of its own host name, then
// the global IPv6 addresses of its interfaces (compressed text, each once).
std::vector<std::string> LocalAddresses();
// A global unicast IPv6 address (2000::/3): not loopback, link-local, unique-local,
// multicast or documentation space, none of which a player elsewhere can reach.
bool IsGlobalIPv6(const TIpAddress& address);

class TExternalIpDetection {
 public:
  TExternalIpDetection() = default;
  ~TExternalIpDetection();  // cancels and joins a check still running
  TExternalIpDetection(const TExternalIpDetection&) = delete;
  TExternalIpDetection& operator=(const TExternalIpDetection&) = delete;

  // Starts a check of `url` unless one is under way; then only that check's settings are
  // updated (it has read them already if its fetch began). True when a new check started.
  bool Start(bool enabled, const std::string& url, TWebCheck::TOnDone onDone,
             TWebCheck::TOnError onError, int timeoutMs = TWebCheck::kTimeoutMs);
  // A check is under way (started and not yet finished).
  bool Running();

 private:
  TMutex mutex_;
  std::unique_ptr<TWebCheck> current_ GUARDED_BY(mutex_);  // kept until the next start
};

}  // namespace vh

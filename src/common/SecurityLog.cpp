#include "common/SecurityLog.h"

#include <atomic>
#include <string>

#include "common/Log.h"

namespace vh {

namespace {

constexpr std::string_view kCategory = "Security";
std::atomic<bool> gEnabled{true};

}  // namespace

void SetSecurityLogEnabled(bool enabled) {
  gEnabled.store(enabled);
}

bool SecurityLogEnabled() {
  return gEnabled.load();
}

namespace {

std::atomic<uint64_t> gFailedLogins[3];  // voice, tcpquery, web

std::atomic<uint64_t>* FailedLoginCounter(std::string_view interface) {
  if (interface == kVoiceInterface) return &gFailedLogins[0];
  if (interface == kQueryInterface) return &gFailedLogins[1];
  if (interface == kWebInterface) return &gFailedLogins[2];
  return nullptr;
}

}  // namespace

uint64_t FailedLogins(std::string_view interface) {
  const auto* counter = FailedLoginCounter(interface);
  return counter ? counter->load(std::memory_order_relaxed) : 0;
}

void LogLoginFailure(std::string_view interface, std::string_view ip, std::string_view reason,
                     std::string_view loginName) {
  if (auto* counter = FailedLoginCounter(interface))
    counter->fetch_add(1, std::memory_order_relaxed);
  if (!SecurityLogEnabled()) return;
  LogUnfiltered(
      LMT_WARNING, LMD_INFO,
      FormatPlaceholders(
          "login failed [Interface: %1, IP: %2, Reason: %3, LoginName: %4]",
          {std::string(interface), std::string(ip), std::string(reason), std::string(loginName)}),
      kCategory);
}

void LogAdminLogin(std::string_view interface, std::string_view ip, long long serverId,
                   std::string_view loginName) {
  if (!SecurityLogEnabled()) return;
  LogUnfiltered(LMT_ALL, LMD_INFO,
                FormatPlaceholders("admin login [Interface: %1, IP: %2, Server: %3, LoginName: %4]",
                                   {std::string(interface), std::string(ip),
                                    std::to_string(serverId), std::string(loginName)}),
                kCategory);
}

void LogSecurityEvent(std::string_view message) {
  if (!SecurityLogEnabled()) return;
  LogUnfiltered(LMT_WARNING, LMD_INFO, message, kCategory);
}

}  // namespace vh

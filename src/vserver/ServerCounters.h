// The monitoring figures of one virtual server: who it is, how many players and channels it
// holds, how its logins ended, and its connection table's traffic. The listener thread writes
// them (relaxed atomics, no lock); a monitoring thread reads them through a shared pointer it
// may keep while the server stops and frees its table, so a read never needs the server's or
// the list's locks.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "transport/TrafficCounters.h"

namespace vh {

struct TServerCounters {
  // Login replies by outcome: slot 0 counts admissions, slot -code the refusals with codes
  // -1 to -7 (the login reply's codes), the next one -21 (no such account), the last slot any
  // other refusal.
  static constexpr int kLoginRefusalCodes = 7;
  static constexpr int kNoAccountCode = -21;
  static constexpr size_t kLoginSlots = kLoginRefusalCodes + 3;

  std::atomic<int32_t> serverId{0};
  std::atomic<uint16_t> port{0};
  std::atomic<bool> running{false};
  std::atomic<uint32_t> players{0};
  std::atomic<uint32_t> channels{0};
  std::array<TTrafficCounters::TCounter, kLoginSlots> logins{};
  TTrafficCounters traffic;

  // The slot of a login reply's code: accepted (positive) replies count in slot 0.
  static size_t LoginSlot(int32_t code) {
    if (code > 0) return 0;
    if (code < 0 && code >= -kLoginRefusalCodes) return static_cast<size_t>(-code);
    if (code == kNoAccountCode) return kLoginSlots - 2;
    return kLoginSlots - 1;
  }
  void CountLogin(int32_t code) { TTrafficCounters::Add(logins[LoginSlot(code)]); }
};

}  // namespace vh

// Helpers of the player and relay tests over UDP: waits for one notification among many and
// refusals behind a barrier (payloads and model edits: support/ServerModel.h).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "ServerHarness.h"
#include "support/ServerModel.h"

namespace vh::test {

// Pumps until a command `number` for which `match` holds has arrived; the others stay queued.
inline std::unique_ptr<TPacket> WaitFor(client::TProtocolClient& c, uint16_t number,
                                        const std::function<bool(const TPacket&)>& match = {},
                                        std::chrono::milliseconds timeout = 3s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    auto p = c.Session().TakeCommandIf(
        [&](const TPacket& q) { return q.CommandNumber() == number && (!match || match(q)); });
    if (p || std::chrono::steady_clock::now() >= deadline) return p;
    c.Pump(20ms);
  }
}

// Sends the request, then a server-info request as a barrier: replies come in order, so
// once the 406 has arrived an error reply to the request has too. Its code, or 0 for none.
inline int Refusal(client::TProtocolClient& c, uint16_t number, std::string_view payload) {
  const uint32_t sequence = c.SendCommand(number, payload);
  c.SendCommand(405, {});
  if (!WaitFor(c, 406)) return 1;  // no barrier: never taken for "no refusal"
  auto e = c.Session().TakeCommandIf([&](const TPacket& q) {
    return client::IsErrorReply(q) && q.Size() >= 30 && q.LongAt(26) == sequence;
  });
  return e ? client::ParseErrorReply(*e)->code : 0;
}

}  // namespace vh::test

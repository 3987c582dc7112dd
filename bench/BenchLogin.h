// What the transport benchmarks share: connections brought to the connected state the way a
// login does, so that voice is queued and not refused.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>

#include "transport/ConnectionTable.h"

namespace vh::bench {

// Brings `count` connections to the connected state as a login does: the login's commands
// out, the last of them the closing command 8, and every one acknowledged.
inline void LogIn(TCustomPacketBuffer& table, uint32_t count) {
  for (uint32_t id = 1; id <= count; ++id) {
    table.AddConnection(id, id * 100, "127.0.0.1", 1, static_cast<uint16_t>(4000 + id),
                        "127.0.0.1");
    for (uint16_t command : {6, 7, 8}) table.SendPacket(NewCommandPacket(command, 0, id), false);
  }
  while (table.NextOutgoingPacket(0)) {
  }
  for (uint32_t id = 1; id <= count; ++id)
    for (uint32_t s = 1; s <= 3; ++s) {
      auto ack = NewAckPacket(0, id * 100, id, s);
      ack->SetAddress("127.0.0.1", static_cast<uint16_t>(4000 + id), "127.0.0.1");
      table.ReceiveDatagram(std::move(ack));
    }
  if (table.ConnectionState(count) != CS_CONNECTED) throw std::runtime_error("login incomplete");
}

}  // namespace vh::bench

// Request payloads in wire layout and direct edits of a running server's channel tree and
// player records, taken under the registry lock and then the tree lock, as the listener takes
// them. For the tests over UDP and the in-process listener world alike.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "model/Channels.h"
#include "model/Clients.h"
#include "model/ModelLock.h"
#include "vserver/ServerObject.h"

namespace vh::test {

// A request payload (after the 24-byte command header), little-endian.
class TPayload {
 public:
  TPayload& U8(uint8_t v) {
    bytes_.push_back(static_cast<char>(v));
    return *this;
  }
  TPayload& U16(uint16_t v) { return U8(v & 0xFF).U8(v >> 8); }
  TPayload& I32(int32_t v) {
    const auto u = static_cast<uint32_t>(v);
    return U16(u & 0xFFFF).U16(u >> 16);
  }
  TPayload& Name29(std::string_view s) {  // length byte and 29 characters of room
    U8(static_cast<uint8_t>(s.size()));
    bytes_ += s;
    bytes_.append(29 - s.size(), '\0');
    return *this;
  }
  TPayload& Text(std::string_view s) {
    bytes_ += s;
    return U8(0);
  }
  operator std::string_view() const { return bytes_; }

 private:
  std::string bytes_;
};

// Runs `edit` on the running server's model with both locks held.
inline void WithModel(TServerObject& server,
                      const std::function<void(TClients&, TChannels&)>& edit) {
  TModelLock model(*server.Clients(), *server.Channels());
  edit(*server.Clients(), *server.Channels());
}

// A registered channel added straight to the tree (no client hears of it); returns its id.
inline int32_t AddChannel(TServerObject& server, const std::string& name, uint16_t flags = 0,
                          int32_t parentId = -1, const std::string& password = {}) {
  int32_t id = -1;
  WithModel(server, [&](TClients&, TChannels& tree) {
    TChannelPtr c = TChannels::NewChannel();
    c->Name = name;
    c->Flags = flags;
    c->ParentID = parentId;
    c->ParentDBID = -1;
    c->MaxUsers = 32;
    c->Password = password;
    id = tree.AddChannel(std::move(c));
  });
  return id;
}

inline void EditPlayer(TServerObject& server, uint32_t playerId,
                       const std::function<void(TClientRecord&)>& edit) {
  WithModel(server, [&](TClients& registry, TChannels&) {
    if (TClientRecord* p = registry.GetClientByID(playerId)) edit(*p);
  });
}

inline int32_t ChannelOf(TServerObject& server, uint32_t playerId) {
  int32_t id = -1;
  EditPlayer(server, playerId, [&](TClientRecord& p) { id = p.ChannelID; });
  return id;
}

}  // namespace vh::test

// Registered players for the tests that run the real program against MariaDB (one server or
// a cluster): a login that joins, and a registered channel asked for over the protocol.
// Used from the test's own thread.

#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "client/ClientPackets.h"
#include "client/ProtocolClient.h"

namespace vh::test {

// A player logged in with an account and joined to the default channel, or null.
inline std::unique_ptr<client::TProtocolClient> LogInRegistered(
    uint16_t port, const std::string& login, const std::string& password,
    client::TJoinResult* joined = nullptr,
    std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
  auto c = std::make_unique<client::TProtocolClient>();
  if (!c->Connect("127.0.0.1", port)) return nullptr;
  client::TLoginOptions o;
  o.nickname = "nick_" + login;
  o.registered = true;
  o.loginName = login;
  o.password = password;
  auto reply = c->Login(o, timeout);
  if (!reply || reply->result != 1) return nullptr;
  client::TJoinResult join = c->Join({}, timeout);
  if (!join.complete) return nullptr;
  if (joined) *joined = std::move(join);
  return c;
}

// Asks for a registered top-level channel; its id from the creation notice, or 0.
inline int32_t CreateRegisteredChannel(
    client::TProtocolClient& c, const std::string& name,
    std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
  std::string p;
  auto le = [&](uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) p += static_cast<char>((v >> (8 * i)) & 0xFF);
  };
  le(0, 4), le(0, 2), le(1, 2), le(static_cast<uint32_t>(-1), 4), le(7, 2), le(20, 2);
  for (const std::string& z : {name, std::string("topic"), std::string("about"), std::string()})
    p += z, p += '\0';
  c.SendCommand(201, p);
  while (auto packet = c.WaitForCommand(110, timeout)) {
    auto created = client::ParseChannelCreated(*packet);
    if (created && created->channel.name == name) return created->channel.id;
  }
  return 0;
}

}  // namespace vh::test

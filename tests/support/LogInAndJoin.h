// The one way test players log in and join, over UDP (TProtocolClient) or in the in-process
// listener world (support/ListenerWorld.h, which takes LoginAs).
#pragma once

#include <chrono>
#include <string>

#include "client/ClientPackets.h"
#include "client/ProtocolClient.h"

namespace vh::test {

// Anonymous unless `login` is given; `password` is the account's, or the server password.
inline client::TLoginOptions LoginAs(const std::string& nickname, const std::string& login = {},
                                     const std::string& password = {}) {
  client::TLoginOptions o;
  o.nickname = nickname;
  if (!login.empty()) {
    o.registered = true;
    o.loginName = login;
  }
  o.password = password;
  return o;
}

// Logs `c` in and joins `channel` (empty: the default channel); false when the login was
// refused or the join did not complete.
inline bool LogInAndJoin(client::TProtocolClient& c, const std::string& nickname,
                         const std::string& login = {}, const std::string& password = {},
                         const std::string& channel = {}) {
  const auto reply = c.Login(LoginAs(nickname, login, password), std::chrono::seconds(3));
  if (!reply || reply->result != 1) return false;
  client::TJoinOptions j;
  j.channel = channel;
  return c.Join(j, std::chrono::seconds(3)).complete;
}

}  // namespace vh::test

// PLACEHOLDER: the handlers of this family are being written; until then they do nothing.
#include "protocol/listener/Listener.h"
#include "server/ServerObject.h"

namespace vh {

void TVHUDPListener::CMD_cs_PlayerKick() {}
void TVHUDPListener::CMD_cs_PlayerKickFromChannel() {}
void TVHUDPListener::CMD_cs_PlayerBanIp() {}
void TVHUDPListener::CMD_cs_PlayerBanIpPlayer() {}
void TVHUDPListener::CMD_cs_PlayerUnbanIp() {}
void TVHUDPListener::CMD_cs_InfoRequestBanIpList() {}
void TVHUDPListener::ExternalCommand_KickPlayer(TListenerRequest&, bool) {}
bool TVHUDPListener::ClientIsSpammer() {
  return false;
}
bool TVHUDPListener::IsBanned(const std::string&, int64_t&) {
  return false;
}
void TVHUDPListener::DBRemoveOldBans() {}

}  // namespace vh

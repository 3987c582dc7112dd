// PLACEHOLDER: the handlers of this family are being written; until then they do nothing.
#include "protocol/listener/Listener.h"
#include "server/ServerObject.h"

namespace vh {

void TVHUDPListener::CMD_cs_PlayerQuit() {}
void TVHUDPListener::CMD_cs_PlayerChannelSwitch() {}
void TVHUDPListener::CMD_cs_PlayerFlagsChanged() {}
void TVHUDPListener::CMD_cs_PlayerRequestVoice() {}
void TVHUDPListener::CMD_cs_PlayerChangeChannelPrivilege() {}
void TVHUDPListener::CMD_cs_PlayerChangePrivilege() {}
void TVHUDPListener::CMD_cs_PlayerRegister() {}
void TVHUDPListener::CMD_cs_PlayerAdminRegister() {}
void TVHUDPListener::CMD_cs_PlayerMutePlayer() {}
void TVHUDPListener::CMD_cs_PlayerMovePlayer() {}
void TVHUDPListener::CMD_cs_PlayerSetUploadBandwidth() {}
void TVHUDPListener::CMD_cs_InfoRequestPlayerConnectionInfoOnId() {}
void TVHUDPListener::CMD_cs_InfoRequestServerInfo() {}
void TVHUDPListener::CMD_cs_InfoSendText() {}
void TVHUDPListener::ExternalCommand_AddClient(TListenerRequest&) {}
void TVHUDPListener::ExternalCommand_DelClient(TListenerRequest&) {}
void TVHUDPListener::ExternalCommand_MoveClientToChannel(TListenerRequest&) {}
void TVHUDPListener::ExternalCommand_NotifyChangedServerProperties(TListenerRequest&) {}
void TVHUDPListener::ExternalCommand_SetUserPrivilege(TListenerRequest&) {}

}  // namespace vh

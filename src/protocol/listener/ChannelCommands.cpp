// PLACEHOLDER: the handlers of this family are being written; until then they do nothing.
#include "protocol/listener/Listener.h"
#include "server/ServerObject.h"

namespace vh {

void TVHUDPListener::CMD_cs_ChannelCreate() {}
void TVHUDPListener::CMD_cs_ChannelChangePassword() {}
void TVHUDPListener::CMD_cs_ChannelChangeProperties() {}
void TVHUDPListener::CMD_cs_ChannelChangeName() {}
void TVHUDPListener::CMD_cs_ChannelChangeTopic() {}
void TVHUDPListener::CMD_cs_ChannelChangeDescription() {}
void TVHUDPListener::CMD_cs_ChannelDestroy() {}
void TVHUDPListener::CMD_cs_ChannelChangeMaxUsers() {}
void TVHUDPListener::CMD_cs_ChannelChangeOrder() {}
void TVHUDPListener::RemoveModeratedFlags(int32_t) {}
void TVHUDPListener::ExternalCommand_AddChannel(TListenerRequest&) {}
void TVHUDPListener::ExternalCommand_DeleteChannel(TListenerRequest&) {}
void TVHUDPListener::ExternalCommand_SetChannel(TListenerRequest&) {}

}  // namespace vh

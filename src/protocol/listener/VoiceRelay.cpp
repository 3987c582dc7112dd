// PLACEHOLDER: the handlers of this family are being written; until then they do nothing.
#include "protocol/listener/Listener.h"
#include "server/ServerObject.h"

namespace vh {

void TVHUDPListener::RelayToOwnChannel() {}
void TVHUDPListener::RelayWhisper() {}
void TVHUDPListener::RelayToParentChannel() {}

}  // namespace vh

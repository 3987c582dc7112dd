#include "host/HostEnvironment.h"

#include "host/ServerHost.h"

namespace vh {

THostPolicy PolicyFromSettings(const TSettings& s, const std::vector<std::string>& badNames) {
  THostPolicy p;
  p.LogAccessRegistered = s.LogAccessRegistered;
  p.LogAccessUnregistered = s.LogAccessUnregistered;
  p.LogChannelRegistered = s.LogChannelRegistered;
  p.LogChannelUnregistered = s.LogChannelUnregistered;
  p.LogServerAdmin = s.LogServerAdmin;
  p.LogChat = s.LogChat;
  p.LogKickChannel = s.LogKickChannel;
  p.LogKickServer = s.LogKickServer;
  p.SpamMaxCommands = s.SpamMaxCommands;
  p.SpamInSeconds = s.SpamInSeconds;
  p.AllowedClientNameChars = s.AllowedClientNameChars;
  p.DisAllowedClientNameChars = s.DisAllowedClientNameChars;
  p.BadNames = badNames;
  p.GFXURL = s.GFXURL;
  p.ISPLinkURL = s.ISPLinkURL;
  return p;
}

void THostEnvironment::ApplyBoundAddresses(uint16_t port, std::vector<TSocketBinding>& bindings) {
  vh::ApplyBoundAddresses(port, bindings);
}

}  // namespace vh

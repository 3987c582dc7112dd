#include "host/HostEnvironment.h"

#include <algorithm>

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
  // A value that is no duration keeps the default; a longer bound than a minute is a minute.
  p.VoiceMaxQueueMs =
      s.VoiceMaxQueueMs < 0 ? THostPolicy{}.VoiceMaxQueueMs : std::min(s.VoiceMaxQueueMs, 60000);
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

#include "host/HostEnvironment.h"

#include <algorithm>

#include "host/ServerHost.h"

namespace vh {

THostPolicy PolicyFromSettings(const TSettings& s, const std::vector<std::string>& badNames) {
  THostPolicy p;
  static_cast<TAuditSwitches&>(p) = s;
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

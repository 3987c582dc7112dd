// The process's side of TVServerEnvironment: the rules of server.ini and the bad-names list
// handed to every virtual server, and the BoundToIp addresses read from the settings file
// each time a socket opens. The main thread sets the rules at start-up (and a rehash may
// replace them); the virtual servers' threads read snapshots.
#pragma once

#include <string>
#include <vector>

#include "host/Settings.h"
#include "vserver/VServerEnvironment.h"

namespace vh {

THostPolicy PolicyFromSettings(const TSettings& settings, const std::vector<std::string>& badNames);

class THostEnvironment final : public TFixedVServerEnvironment {
 public:
  void ApplyBoundAddresses(uint16_t port, std::vector<TSocketBinding>& bindings) override;
};

}  // namespace vh

// One local address a listening socket binds to. An empty list of bindings means every
// address of the machine.
#pragma once

#include <cstdint>
#include <string>

namespace vh {

struct TSocketBinding {
  std::string address;  // dotted IPv4 text
  uint16_t port = 0;
};

}  // namespace vh

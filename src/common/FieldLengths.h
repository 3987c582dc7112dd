// The room of the text fields the wire, the stored records and the administration share: a
// length byte and 29 characters for names, passwords and short texts, 255 for the welcome
// message, addresses of web pages and long texts. Constant; any thread.
#pragma once

#include <cstddef>

namespace vh {

constexpr size_t kNameLength = 29;
constexpr size_t kTextLength = 255;

}  // namespace vh

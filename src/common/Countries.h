// Country table: four-digit codes (continent, region, country) and their names, as sent to the
// web list and offered by the administration interfaces. Immutable data; any thread.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace vh {

struct TCountry {
  uint16_t code;
  const char* name;  // Latin-1
};

// All entries, continents and regions included, in table order (by code).
std::span<const TCountry> Countries();
// The name of a continent, region or country; "Unknown" for a code not in the table.
std::string CountryName(uint16_t code);
// A code is a country exactly when it does not end in 00.
bool IsCountry(uint16_t code);

}  // namespace vh

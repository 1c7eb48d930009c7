// SPDX-License-Identifier: Apache-2.0
#include "events/DeviceProfile.h"

int BusProfile::BaudOfCode(unsigned code) const {
  return code < baudRates.size() ? baudRates[code] : 0;
}

std::optional<uint16_t> BusProfile::CodeOfBaud(int baud) const {
  for (std::size_t code = 0; code < baudRates.size(); ++code) {
    if (baudRates[code] == baud) return static_cast<uint16_t>(code);
  }
  return std::nullopt;
}

bool BusProfile::TakesAddress(int address) const {
  return address >= lowestAddress && address <= highestAddress;
}

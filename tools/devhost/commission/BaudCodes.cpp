// SPDX-License-Identifier: Apache-2.0
#include "commission/BaudCodes.h"

#include <algorithm>

std::optional<uint16_t> SensorCodeOfBaud(int baud) {
  const int code = do3008ra::CodeOfBaud(baud);
  if (code < 0) return std::nullopt;
  return static_cast<uint16_t>(code);
}

const std::vector<int>& SensorBaudsInScanOrder() {
  static const std::vector<int> order = [] {
    std::vector<int> bauds(std::begin(do3008ra::kBaudRates), std::end(do3008ra::kBaudRates));
    std::sort(bauds.begin(), bauds.end(), [](int a, int b) {
      const int factory = do3008ra::kFactoryBaud;
      if ((a == factory) != (b == factory)) return a == factory;
      return a > b;
    });
    return bauds;
  }();
  return order;
}

std::string SensorBaudList() {
  std::vector<int> bauds(std::begin(do3008ra::kBaudRates), std::end(do3008ra::kBaudRates));
  std::sort(bauds.begin(), bauds.end());
  std::string list;
  for (int baud : bauds) list += (list.empty() ? "" : ", ") + std::to_string(baud);
  return list;
}

// SPDX-License-Identifier: Apache-2.0
#include "commission/BaudCodes.h"

#include <algorithm>

std::vector<int> BaudsInScanOrder(const BusProfile& bus) {
  std::vector<int> bauds = bus.baudRates;
  const int factory = bus.factoryBaud;
  std::sort(bauds.begin(), bauds.end(), [factory](int a, int b) {
    if ((a == factory) != (b == factory)) return a == factory;
    return a > b;
  });
  return bauds;
}

std::string BaudList(const BusProfile& bus) {
  std::vector<int> bauds = bus.baudRates;
  std::sort(bauds.begin(), bauds.end());
  std::string list;
  for (int baud : bauds) list += (list.empty() ? "" : ", ") + std::to_string(baud);
  return list;
}

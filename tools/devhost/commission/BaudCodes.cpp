#include "commission/BaudCodes.h"

#include <algorithm>

namespace {

constexpr int kBauds[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 1200};
constexpr uint16_t kCodes = sizeof kBauds / sizeof kBauds[0];

}  // namespace

int BaudOfSensorCode(uint16_t code) { return code < kCodes ? kBauds[code] : 0; }

std::optional<uint16_t> SensorCodeOfBaud(int baud) {
  for (uint16_t code = 0; code < kCodes; ++code) {
    if (kBauds[code] == baud) return code;
  }
  return std::nullopt;
}

const std::vector<int>& SensorBaudsInScanOrder() {
  static const std::vector<int> order = [] {
    std::vector<int> bauds(std::begin(kBauds), std::end(kBauds));
    std::sort(bauds.begin(), bauds.end(), [](int a, int b) {
      if ((a == 9600) != (b == 9600)) return a == 9600;
      return a > b;
    });
    return bauds;
  }();
  return order;
}

std::string SensorBaudList() {
  std::vector<int> bauds(std::begin(kBauds), std::end(kBauds));
  std::sort(bauds.begin(), bauds.end());
  std::string list;
  for (int baud : bauds) list += (list.empty() ? "" : ", ") + std::to_string(baud);
  return list;
}

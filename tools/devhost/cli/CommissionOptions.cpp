// SPDX-License-Identifier: Apache-2.0
#include "cli/CommissionOptions.h"

#include <cerrno>
#include <cstdlib>
#include <sstream>

#include "commission/BaudCodes.h"
#include "events/DeviceTypes.h"

namespace {

std::vector<std::string> CommaList(const std::string& what, const std::string& text) {
  std::vector<std::string> items;
  std::istringstream stream(text);
  for (std::string item; std::getline(stream, item, ',');) {
    if (item.empty()) throw UsageError(what + ": an empty item in '" + text + "'");
    items.push_back(item);
  }
  if (items.empty()) throw UsageError(what + ": a list is missing");
  return items;
}

int SensorBaud(const std::string& what, const std::string& text) {
  const auto baud = ParseWholeNumber(what, text, 1, 10000000);
  const BusProfile& bus = CommissionedType().profile.value().bus;
  if (!bus.CodeOfBaud(static_cast<int>(baud))) {
    throw UsageError(what + ": the sensor takes " + BaudList(bus) + " baud, not " + text);
  }
  return static_cast<int>(baud);
}

}  // namespace

void SetScanBauds(CommandLine& line, const std::string& text) {
  line.scan.bauds.clear();
  for (const std::string& item : CommaList("--baud", text)) {
    line.scan.bauds.push_back(SensorBaud("--baud", item));
  }
}

void SetScanParities(CommandLine& line, const std::string& text) {
  line.scan.parities.clear();
  for (const std::string& item : CommaList("--parity", text)) {
    if (item == "none" || item == "N" || item == "n") {
      line.scan.parities.push_back('N');
    } else if (item == "even" || item == "E" || item == "e") {
      line.scan.parities.push_back('E');
    } else if (item == "odd" || item == "O" || item == "o") {
      line.scan.parities.push_back('O');
    } else {
      throw UsageError("--parity: expected none, even or odd, got '" + item + "'");
    }
  }
}

void SetScanAddresses(CommandLine& line, const std::string& text) {
  const auto dash = text.find('-');
  const std::string first = text.substr(0, dash);
  const std::string last = dash == std::string::npos ? first : text.substr(dash + 1);
  line.scan.firstAddress = static_cast<int>(ParseWholeNumber("--address", first, 1, 247));
  line.scan.lastAddress = static_cast<int>(ParseWholeNumber("--address", last, 1, 247));
  if (line.scan.lastAddress < line.scan.firstAddress) {
    throw UsageError("--address: " + text + " is an empty range");
  }
}

void SetScanTimeout(CommandLine& line, const std::string& text) {
  line.scan.timeoutMs = static_cast<int>(ParseWholeNumber("--timeout", text, 10, 5000));
}

void TakeScanPort(CommandLine& line, const std::vector<std::string>& words) {
  if (words.empty()) throw UsageError("scan needs the serial PORT to search");
  if (words.size() > 1) throw UsageError("unexpected argument '" + words[1] + "'");
  line.scan.port = words.front();
}

void TakeChange(CommandLine& line, const std::vector<std::string>& words) {
  const bool address = line.command == "readdress";
  if (words.size() != 2) {
    throw UsageError(line.command + " needs DATA_ID " + (address ? "NEW_ADDRESS" : "SPEED"));
  }
  line.dataId = static_cast<uint32_t>(ParseWholeNumber("data id", words[0], 0, 0xFFFFFFFFLL));
  line.target = address ? static_cast<int>(ParseWholeNumber("new address", words[1], 1, 247))
                        : SensorBaud("speed", words[1]);
}

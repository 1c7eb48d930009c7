// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "config/HostConfig.h"
#include "line/Bus.h"
#include "line/PortReopen.h"

// The serial line a controller owns: its settings, the bus on it (the serial line, a register
// map in tests; none while the port is left closed) and the reopening of a serial device that
// went away. On the line's thread.
class LinePort {
 public:
  LinePort(const LineConfig& config, PortReopen::Report report)
      : config_(config), reopen_(std::move(report)) {}

  const LineConfig& Config() const { return config_; }
  void Attach(std::unique_ptr<Bus> bus) { bus_ = std::move(bus); }
  bool Attached() const { return bus_ != nullptr; }
  // Commissioning jobs talk to the line outside any device's poll cycle (reading where a sensor
  // says it is) and move the whole line to another speed.
  Bus& Wire() { return *bus_; }
  void ChangeSpeed(int baudRate);

  // One exchange; a serial device found gone is given up, to be opened again later.
  Exchange Perform(int slave, const ModbusRequest& request);
  // Raw bytes out on the line; the number written or -1.
  int SendRaw(const unsigned char* data, unsigned int length);
  // Whether the serial device is gone, and when the next attempt to open it is due
  // (time_point::max() while none is missing).
  bool Missing() const { return reopen_.Missing(); }
  std::chrono::steady_clock::time_point ReopenDue() const { return reopen_.Due(); }
  void ReopenIfDue(std::chrono::steady_clock::time_point now);

 private:
  LineConfig config_;
  std::unique_ptr<Bus> bus_;
  // Opens the serial device again after it went away; rounds go on meanwhile and fail at once.
  PortReopen reopen_;
};

// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <chrono>
#include <csignal>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <modbus/modbus.h>

#include "ControlFile.h"
#include "FaultPlan.h"
#include "PtyLink.h"
#include "SensorRegisters.h"

// The simulated sensor's serving loop: receives requests with libmodbus, answers from the
// register map, and injects the faults its plan draws.
class SimServer {
 public:
  // Serves on the master side of a pseudo-terminal pair.
  SimServer(PtyLink& pty, SensorRegisters& registers, FaultPlan& faults, bool verbose);
  // Serves on a serial device at the baud rate of the register map's baud code.
  SimServer(const std::string& device, SensorRegisters& registers, FaultPlan& faults, bool verbose);
  ~SimServer();
  SimServer(const SimServer&) = delete;
  SimServer& operator=(const SimServer&) = delete;

  // Reads this file again whenever it changes (looked at a few times a second) and holds the
  // registers it names.
  void WatchControl(ControlFile& control) { control_ = &control; }

  // Serves until `stop` becomes non-zero.
  void Run(const volatile std::sig_atomic_t& stop);

 private:
  struct Request {
    uint8_t slave = 0;
    uint8_t function = 0;
    uint16_t address = 0;
    uint16_t count = 0;            // registers read or written
    std::vector<uint16_t> values;  // written values
  };

  void OpenContext();
  void CloseContext();
  int Fd() const;
  bool Readable(int timeoutMs) const;  // a request's first bytes are there within the time
  void ReceiveAndServe();
  void Serve(const uint8_t* frame, int length);
  bool ParseRequest(const uint8_t* frame, int length, Request& request) const;
  uint8_t Check(const Request& request) const;
  void Answer(const uint8_t* frame, int length, const Request& request, Fault fault);
  void SendOwnFrame(const Request& request, bool corrupt);
  void ApplyLineChange(const SensorRegisters::LineChange& change);
  bool LineSpeedMatches() const;
  void Wait(int milliseconds) const;
  double SecondsRunning() const;
  void CheckControl();

  PtyLink* pty_ = nullptr;
  std::string device_;
  SensorRegisters& registers_;
  FaultPlan& faults_;
  bool verbose_;
  modbus_t* context_ = nullptr;
  // Where the sensor answers: the bus registers as the map starts (after registers_).
  uint16_t slave_ = registers_.Holding(do3008ra::kAddressRegister);
  uint16_t baudCode_ = registers_.Holding(do3008ra::kBaudCodeRegister);
  const volatile std::sig_atomic_t* stop_ = &kNotStopped;
  static constexpr std::sig_atomic_t kNotStopped = 0;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  ControlFile* control_ = nullptr;
  std::chrono::steady_clock::time_point controlChecked_{};
};

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
#include "FrameFinder.h"
#include "PtyLink.h"
#include "SimSensor.h"
#include "WireSettings.h"

// The simulated line's serving loop: finds frames on the line by silence, hands each to every
// sensor on it, sends the answer of the one addressed (paced at the line's speed when asked),
// and counts what it heard.
class SimServer {
 public:
  using Clock = FrameFinder::Clock;

  // Serves on the master side of a pseudo-terminal pair.
  SimServer(PtyLink& pty, std::vector<SimSensor>& sensors, const WireSettings& wire);
  // Serves on a serial device at the speed of the first sensor's baud code.
  SimServer(const std::string& device, std::vector<SimSensor>& sensors, const WireSettings& wire);
  ~SimServer();
  SimServer(const SimServer&) = delete;
  SimServer& operator=(const SimServer&) = delete;

  // Reads this file again whenever it changes (looked at a few times a second) and holds the
  // registers it names, in every sensor.
  void WatchControl(ControlFile& control) { control_ = &control; }
  void SetVerbose(bool verbose) { verbose_ = verbose; }

  // Serves until `stop` becomes non-zero.
  void Run(const volatile std::sig_atomic_t& stop);
  // What the line heard, for the log: one line.
  std::string Summary() const;

 private:
  struct Counts {
    unsigned long frames = 0;
    unsigned long answered = 0;
    unsigned long merged = 0;
    unsigned long broken = 0;
    unsigned long badCrc = 0;
    // The silences before the requests that followed an answer, for their mean.
    unsigned long silences = 0;
    std::chrono::nanoseconds silenceSum{0};
    FrameFinder::Clock::time_point firstFrame{};
    FrameFinder::Clock::time_point lastAnswer{};
  };

  void OpenDevice();
  void CloseDevice();
  int Fd() const;
  void ServeWhatIsOnTheLine();  // at the stop
  void ReadLine();
  void Retime();
  void Hear(const FrameFinder::Frame& frame);
  bool Readable(const FrameFinder::Frame& frame);
  void Serve(SimSensor& sensor, const FrameFinder::Frame& frame);
  void Send(const std::vector<uint8_t>& frame, Clock::time_point notBefore);
  bool LineSpeedMatches(const SimSensor& sensor) const;
  void Wait(int milliseconds) const;
  double SecondsRunning() const;
  void CheckControl();

  PtyLink* pty_ = nullptr;
  std::string device_;
  std::vector<SimSensor>& sensors_;
  WireSettings wire_;
  bool verbose_ = false;
  modbus_t* context_ = nullptr;  // opens and sets up a serial device
  int deviceBaud_ = 0;
  FrameFinder finder_;
  Counts counts_;
  const volatile std::sig_atomic_t* stop_ = &kNotStopped;
  static constexpr std::sig_atomic_t kNotStopped = 0;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  ControlFile* control_ = nullptr;
  std::chrono::steady_clock::time_point controlChecked_{};
};

// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "events/DeviceProfile.h"

// What `devhost scan` searches: every address of the range at every speed and parity given.
struct ScanPlan {
  std::string port;
  std::vector<int> bauds;      // empty: every speed of the model, its factory speed first
  std::vector<char> parities;  // 'N', 'E', 'O'; empty: none only
  int firstAddress = 1;
  int lastAddress = 247;
  int timeoutMs = 100;  // how long one address is given to answer
  bool first = false;   // stop at the first sensor found

  // Once the scanner has filled in the speeds and parities left empty.
  long Probes() const;
};

// A DO3008RA that answered, and whether its registers agree with how it was reached.
struct ScanHit {
  int address = 0;  // the address it answered at
  int baud = 0;     // the speed it answered at
  char parity = 'N';
  uint16_t registerAddress = 0;
  uint16_t registerBaudCode = 0;
  int registerBaud = 0;  // the speed the code stands for; 0 for a value that is no code

  bool AddressAgrees() const { return registerAddress == address; }
  bool BaudAgrees() const { return registerBaud == baud; }
};

// Something answered that is no DO3008RA (a Modbus exception, or registers no sensor holds).
struct ScanOther {
  int address = 0;
  int baud = 0;
  char parity = 'N';
  std::string what;
};

struct ScanProgress {
  int baud = 0;
  char parity = 'N';
  int address = 0;
  long done = 0;  // probes finished, this one included
  long total = 0;
  std::size_t found = 0;
  double secondsLeft = 0;
  bool stopsHere = false;  // the scan ends with this sensor (ScanPlan::first)
};

struct ScanResult {
  std::string port;
  std::vector<ScanHit> hits;
  std::vector<ScanOther> others;
  long probes = 0;            // addresses asked
  long total = 0;             // addresses the plan holds
  bool stopped = false;       // by a signal
  bool stoppedAtHit = false;  // at the first sensor found (ScanPlan::first)
  double seconds = 0;

  bool Complete() const { return !stopped && !stoppedAtHit; }
};

// Asks every address of the plan for the model's bus registers (DO3008RA: input registers
// 2000-2001), one speed and parity after the other, on the port taken for this process alone. Stops
// early when the host is asked to stop (Ctrl-C), keeping what it found, or at the first sensor when
// the plan says so. SerialError when the port cannot be had.
class Scanner {
 public:
  using Progress = std::function<void(const ScanProgress&, const ScanHit* hit)>;

  Scanner(ScanPlan plan, const BusProfile& bus, Progress progress);
  ScanResult Run();

 private:
  // "registers 2000-2001": the bus registers, for messages.
  std::string RegistersText() const;

  ScanPlan plan_;
  BusProfile bus_;
  Progress progress_;
};

std::string ParityName(char parity);

// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "FaultPlan.h"
#include "SensorRegisters.h"
#include "WireSettings.h"

struct SimOptions {
  std::string device;    // serial device to serve on; empty: a new pseudo-terminal
  std::string link;      // symbolic link made to the pseudo-terminal
  std::string ptyGroup;  // the pseudo-terminal's group (name or number), then mode 0660
  std::string control;   // file of registers to hold, read again when it changes
  bool verbose = false;
  bool help = false;
  SensorRegisters::Settings sensor;
  FaultSettings faults;
  // Sensors on the line, at addresses sensor.slave, sensor.slave + 1, ...
  int sensors = 1;
  WireSettings wire;
};

// The settings of the sensor at `index` on the line: the next address, values a step apart and
// a fault draw of its own.
SensorRegisters::Settings SensorAt(const SimOptions& options, int index);
FaultSettings FaultsAt(const SimOptions& options, int index);

struct SimUsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Throws SimUsageError with a message that names the offending argument.
SimOptions ParseSimOptions(const std::vector<std::string>& args);
const char* SimUsage();

// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "FaultPlan.h"
#include "SensorRegisters.h"

struct SimOptions {
  std::string device;    // serial device to serve on; empty: a new pseudo-terminal
  std::string link;      // symbolic link made to the pseudo-terminal
  std::string ptyGroup;  // the pseudo-terminal's group (name or number), then mode 0660
  std::string control;   // file of registers to hold, read again when it changes
  bool verbose = false;
  bool help = false;
  SensorRegisters::Settings sensor;
  FaultSettings faults;
};

struct SimUsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Throws SimUsageError with a message that names the offending argument.
SimOptions ParseSimOptions(const std::vector<std::string>& args);
const char* SimUsage();

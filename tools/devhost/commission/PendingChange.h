// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "commission/RecordedProcess.h"

// A readdress or rebaud recorded before the register is written, in a small file beside the
// database (DATABASE.change-<dataId>), and removed once the command has said where the sensor
// is. A command killed in between leaves it for the next host start to resolve: the sensor may
// have moved while the configuration still names the old place. A change verified but not yet
// written into the configuration stays recorded, marked verified, until the configuration says it.
struct PendingChange {
  uint32_t dataId = 0;
  bool speed = false;  // baudRate of the line, else slaveAddress of the device
  int to = 0;
  bool updateConfig = false;  // the command was to write the new value into the configuration
  bool verified = false;      // the sensor was verified there; the configuration was left to do
  RecordedProcess process;    // the host that carried the command out

  std::string Command() const { return speed ? "rebaud" : "readdress"; }
  // "address 7", "19200 baud"
  std::string Place(int value) const;
};

std::string PendingChangePath(const std::string& database, uint32_t dataId);
// Written whole (temporary file, fsync, rename), mode 0600; ConfigError when it cannot be.
void RecordPendingChange(const std::string& database, const PendingChange& change);
void ClearPendingChange(const std::string& database, uint32_t dataId);

// What a device's record holds.
struct ChangeRecord {
  enum class State {
    kNone,      // no record
    kFound,     // `change` read
    kUnusable,  // `problem` says why and what became of the file
  };
  State state = State::kNone;
  PendingChange change;
  std::string problem;
};
// Reads the record. One that cannot be read by this host is left where it is (another user's,
// as one left by an interrupted `sudo devhost readdress` is root's, mode 0600); one that is no
// record (truncated, damaged) is kept aside as PATH.corrupt, since it is the only clue where the
// sensor went.
ChangeRecord ReadChangeRecord(const std::string& database, uint32_t dataId);

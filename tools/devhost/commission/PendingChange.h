// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// A readdress or rebaud recorded before the register is written, in a small file beside the
// database (DATABASE.change-<dataId>), and removed once the command has said where the sensor
// is. A command killed in between leaves it for the next host start to resolve: the sensor may
// have moved while the configuration still names the old place.
struct PendingChange {
  uint32_t dataId = 0;
  bool speed = false;  // baudRate of the line, else slaveAddress of the device
  int to = 0;
  bool updateConfig = false;  // the command was to write the new value into the configuration
  long pid = 0;               // the command's process

  std::string Command() const { return speed ? "rebaud" : "readdress"; }
  // "address 7", "19200 baud"
  std::string Place(int value) const;
};

std::string PendingChangePath(const std::string& database, uint32_t dataId);
// Written whole (temporary file, fsync, rename), mode 0600; ConfigError when it cannot be.
void RecordPendingChange(const std::string& database, const PendingChange& change);
void ClearPendingChange(const std::string& database, uint32_t dataId);
// The record of a command that is no longer running; nothing when there is none (or it cannot
// be read as one, which is then removed).
std::optional<PendingChange> InterruptedChange(const std::string& database, uint32_t dataId);
// Why a record that is there cannot be read by this host (another user's, as one left by an
// interrupted `sudo devhost readdress` is root's, mode 0600); nothing when there is none or it
// can be read.
std::optional<std::string> UnreadableChange(const std::string& database, uint32_t dataId);

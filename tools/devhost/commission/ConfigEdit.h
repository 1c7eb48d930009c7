// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>

#include "config/HostConfig.h"

// One member of the host configuration that a commissioning change makes out of date: the
// device's slaveAddress or its line's baudRate.
struct ConfigMember {
  std::size_t line = 0;
  std::optional<std::size_t> device;  // set for a device's member
  std::string name;                   // "slaveAddress", "baudRate"
  long long value = 0;                // what it must say now

  // "lines[0].devices[1].slaveAddress"
  std::string Path() const;
};

ConfigMember AddressMember(const HostConfig& config, uint32_t dataId, int address);
ConfigMember SpeedMember(const HostConfig& config, uint32_t dataId, int baud);

// The configuration text with that one member's value replaced, or the member added after the
// device's "dataId" (the line's "device") when it is not there: everything else, the order of
// the members, spacing and all, stays as it was. ConfigError when the text does not hold the
// member's object.
std::string WithMember(const std::string& text, const ConfigMember& member);

// Where the configuration's earlier texts are kept by an edit.
struct ConfigBackups {
  std::string last;        // PATH.bak: as before this edit
  std::string first;       // PATH.orig: as before the first edit, kept once made
  bool firstMade = false;  // this edit made PATH.orig

  // "the old file is PATH.bak" and, when made now, where the first one is.
  std::string Text() const;
};

// Writes the change into the file: the old file is kept as PATH.bak, and as PATH.orig when there
// is none, the new text goes to a temporary file that then replaces PATH in one step, so a crash
// leaves one whole file. The result is loaded before it is written. ConfigError on failure.
ConfigBackups UpdateConfigFile(const std::string& path, const ConfigMember& member);

// Removes PATH.tmp<pid> files an edit left when its process was killed before the rename.
void RemoveStaleTemporaries(const std::string& path);

// SPDX-License-Identifier: Apache-2.0
#pragma once
// The members of the configuration, each declared once: a row of its level's table names it and
// reads it. The parser reads every level through its table and the unknown-member warning and
// the manual check take the names from the same tables, so adding a member is its field in
// config/HostConfig.h, its row in config/ConfigMembers.cpp and its entry in devhost.json(5).

#include <string>
#include <vector>

#include "config/Fields.h"
#include "config/HostConfig.h"

// The objects of the configuration file that hold members of the host's own.
enum class ConfigLevel { kRoot, kLine, kRs485, kDevice, kReport };

// What the root's members are read into, and where their relative paths start.
struct RootReading {
  HostConfig& config;
  std::string base;            // the configuration's directory
  std::string pluginBase;      // relative plug-in paths: --plugin-dir, else `base`
  std::string pluginFallback;  // where they are looked for when not under pluginBase
  const ConfigOverrides& overrides;
};

// Reads every member of the root the host declares (not the sinks' blocks), lines and devices
// included, in the tables' order: the first member that is wrong is the one said.
void ReadRootMembers(const Fields& fields, RootReading& reading);
// The members a level declares, in the order they are read.
std::vector<std::string> MemberNames(ConfigLevel level);

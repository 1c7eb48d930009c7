// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <list>
#include <string>
#include <vector>

#include <json/value.h>

#include "config/HostConfig.h"

class Console;
class Host;
class RunningSinks;

// A running host asked to read its configuration again (SIGHUP; systemctl reload). The file is
// read and checked as at start; what changed is applied without dropping the lines: a sink whose
// block changed is stopped (with its summary) and started anew, a device whose settings (its
// rules) or reports changed gets them between two exchanges. Whatever else changed is said to
// take a restart. A file that does not read changes nothing, and the lines poll throughout.
class ConfigReload {
 public:
  ConfigReload(const HostConfig& started, const ConfigOverrides& overrides, Host& host,
               RunningSinks& sinks, Console& console);
  ConfigReload(const ConfigReload&) = delete;
  ConfigReload& operator=(const ConfigReload&) = delete;

  void Run();

 private:
  // The file as it reads now, or nothing (said) when it does not.
  bool ReadAgain(HostConfig& config, Json::Value& document);
  // Applies what changed with the lines parked; what was applied, by name.
  std::vector<std::string> Apply(const HostConfig& before, const HostConfig& now,
                                 const Json::Value& document);

  const HostConfig& started_;
  const ConfigOverrides& overrides_;
  Host& host_;
  RunningSinks& sinks_;
  Console& console_;
  Json::Value startedDocument_;
  Json::Value appliedDocument_;
  // Each configuration read again, kept: the running sinks refer to the last.
  std::list<HostConfig> read_;
};

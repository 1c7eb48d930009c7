#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "config/HostConfig.h"

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct CommandLine {
  std::string command = "run";  // run, status, write, history
  std::string configPath;
  ConfigOverrides overrides;
  bool json = false;
  bool help = false;
  long cycles = 0;        // run: poll rounds before stopping, 0 = until a signal
  std::string pluginLog;  // where the plug-ins' diagnostic lines go (default: stderr)
  // write
  uint32_t dataId = 0;
  uint16_t address = 0;
  std::vector<uint16_t> values;
  // history
  std::optional<uint32_t> historyDataId;
  long long limit = 20;                // 0 = every row
  std::optional<std::string> csvPath;  // "-" = standard output
};

// Throws UsageError naming the offending argument.
CommandLine ParseCommandLine(const std::vector<std::string>& args);
const char* Usage();

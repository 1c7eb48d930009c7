// SPDX-License-Identifier: Apache-2.0
#include "events/LogLevel.h"

namespace {

constexpr const char* kLevelNames[] = {"error", "warning", "notice", "detail"};

}  // namespace

std::optional<LogLevel> ParseLogLevel(const std::string& name) {
  for (int level = 0; level < 4; ++level) {
    if (name == kLevelNames[level]) return static_cast<LogLevel>(level);
  }
  return std::nullopt;
}

const char* LogLevelName(LogLevel level) { return kLevelNames[static_cast<int>(level)]; }

// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <optional>
#include <string>

// How much of what happens a console shows, as services grade their messages: a level shows
// its own lines and those of every level above it. Per-cycle lines and the echo of operators'
// status and alarms requests are detail: a service's journal would get one line per device per
// poll, so they are off unless asked for (--log-level detail) or seen on a terminal.
enum class LogLevel { kError, kWarning, kNotice, kDetail };

// "error", "warning", "notice", "detail"; nothing for another word.
std::optional<LogLevel> ParseLogLevel(const std::string& name);
const char* LogLevelName(LogLevel level);

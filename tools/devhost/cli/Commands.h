// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "base/ExitStatus.h"
#include "cli/CommandLine.h"
#include "events/Console.h"
#include "events/TimeRange.h"

// The subcommands no running host answers (the others: cli/DeviceCommand.h). Each command
// throws the error of the step that failed (ConfigError, PluginError, SerialError, StoreError);
// main turns it into one message and an exit status.
int RunCommand(const CommandLine& line, Console& console);
int HistoryCommand(const CommandLine& line, Console& console);
int PruneCommand(const CommandLine& line, Console& console);
int PlotCommand(const CommandLine& line, Console& console);

// The --since/--until range of history and plot; UsageError for a bound that is no time.
TimeRange ParseRange(const CommandLine& line);
// Finding sensors on a port (cli/ScanCommand.cpp).
int ScanCommand(const CommandLine& line, Console& console);

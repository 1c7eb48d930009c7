#pragma once

#include "cli/CommandLine.h"
#include "events/Console.h"
#include "store/TimeRange.h"

// Exit statuses of devhost.
enum ExitStatus {
  kExitOk = 0,
  kExitNotConfirmed = 1,
  kExitUsage = 2,
  kExitPlugin = 3,
  kExitSerial = 4,
  kExitDatabase = 5,
  kExitNoAnswer = 6,
  kExitRefused = 7,
  // plot: the range holds no record to draw.
  kExitNothingToPlot = 1,
};

// Each command throws the error of the step that failed (ConfigError, PluginError, SerialError,
// StoreError); main turns it into one message and an exit status.
int RunCommand(const CommandLine& line, Console& console);
int StatusCommand(const CommandLine& line, Console& console);
int WriteCommand(const CommandLine& line, Console& console);
int AlarmsCommand(const CommandLine& line, Console& console);
int HistoryCommand(const CommandLine& line, Console& console);
int PruneCommand(const CommandLine& line, Console& console);
int PlotCommand(const CommandLine& line, Console& console);

// The --since/--until range of history and plot; UsageError for a bound that is no time.
TimeRange ParseRange(const CommandLine& line);
// Commissioning (cli/CommissionCommands.cpp).
int ScanCommand(const CommandLine& line, Console& console);
int ReaddressCommand(const CommandLine& line, Console& console);
int RebaudCommand(const CommandLine& line, Console& console);

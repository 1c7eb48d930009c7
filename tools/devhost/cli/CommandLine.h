// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "commission/Scanner.h"
#include "config/HostConfig.h"
#include "events/LogLevel.h"

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct CommandLine {
  std::string command = "run";  // a subcommand of cli/Subcommand.h
  std::string configPath;
  ConfigOverrides overrides;
  bool json = false;
  bool help = false;          // print the usage of `command`, or the overview without a subcommand
  bool version = false;       // print the version
  bool commandNamed = false;  // `command` was written out, not taken as the default
  long cycles = 0;            // run: poll rounds before stopping, 0 = until a signal
  std::string pluginLog;  // where the plug-ins' diagnostic lines go (default: beside the database)
  // What the console shows; default: detail on a terminal or with --json, else notice.
  std::optional<LogLevel> logLevel;
  long summaryEverySeconds = 3600;  // run: the periodic summary line; 0 = none
  // write
  uint32_t dataId = 0;
  uint16_t address = 0;
  std::vector<uint16_t> values;
  std::vector<int> typedValues;  // as written: -15 where `values` holds 65521
  // history
  std::optional<uint32_t> historyDataId;
  long long limit = 20;                // 0 = every row
  std::optional<std::string> csvPath;  // "-" = standard output
  std::string since, until;            // history, plot: range bounds as written
  std::string historyTable;            // history: "" records, "alarms", "links", "reports"
  std::string every;                   // history: "1m" or "1h": aggregates instead of records
  // prune
  std::optional<int> retentionDays;  // --days: instead of the configuration's retentionDays
  // plot
  std::string plotOutput;  // --output FILE: .svg (default) or .png
  int plotWidth = 1200, plotHeight = 900;
  // scan
  ScanPlan scan;
  // readdress, rebaud (and dataId)
  int target = 0;  // the new address, or the new speed in baud
  bool force = false;
  bool trustClock = false;  // prune: although the kernel calls the clock unsynchronised
  bool future = false;      // prune: the rows stamped later than now instead
  bool updateConfig = false;
  // A device command read by TakeDeviceWords: the words after DATA_ID, as written, for its
  // request builder (cli/Subcommand.cpp) to read.
  std::vector<std::string> deviceWords;
};

// The subcommands, in the order the overview lists them.
const std::vector<std::string>& Subcommands();

// How subcommands read the words after their name and options; UsageError for what they do
// not take.
void TakeConfigOnly(CommandLine& line, std::vector<std::string> words);
// history, prune, plot: --db can stand for the configuration.
void TakeConfigOrDatabase(CommandLine& line, std::vector<std::string> words);
void TakeWriteWords(CommandLine& line, std::vector<std::string> words);
// readdress, rebaud.
void TakeChangeWords(CommandLine& line, std::vector<std::string> words);
void TakeScanWords(CommandLine& line, std::vector<std::string> words);
// CONFIG DATA_ID [WORD...]: a device command whose request builder reads its own words (a
// builder's UsageError for them is said like one of parsing).
void TakeDeviceWords(CommandLine& line, std::vector<std::string> words);

// Every option devhost takes, as written ("--db"), with --help, -h and --version; those that
// are not of every subcommand are named in the options of the subcommands that take them.
struct OptionName {
  std::string name;
  bool everySubcommand;
};
std::vector<OptionName> OptionNames();

// Throws UsageError naming the offending argument.
CommandLine ParseCommandLine(const std::vector<std::string>& args);
// A decimal whole number from `low` to `high`; UsageError naming `what` otherwise.
long long ParseWholeNumber(const std::string& what, const std::string& text, long long low,
                           long long high);
// The subcommand the arguments name, as ParseCommandLine reads them; empty when they name
// none. Tells which usage a mistake on the line concerns.
std::string NamedSubcommand(const std::vector<std::string>& args);

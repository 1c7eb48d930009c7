// SPDX-License-Identifier: Apache-2.0
#include "cli/Usage.h"

#include "cli/Subcommand.h"

#ifndef DEVHOST_VERSION
#error "DEVHOST_VERSION must give the version (the CMake project's)"
#endif

namespace {

const char* const kSharedOptions =
    R"(  --db FILE         database file (default: CONFIG's "database", else CONFIG with .db)
  --port [N=]PATH   serial device of line N (default line 0) instead of CONFIG's
  --plugin-dir DIR  take relative plug-in paths from DIR instead of CONFIG's folder
                    (default: CONFIG's folder, else PREFIX/lib/do3008ra)
  --plugin-log FILE the plug-ins' own diagnostic lines go to FILE, - for standard error
                    (default: DATABASE.plugin.log, at most 1 MiB, and the one before it)
  --log-level L     error, warning, notice or detail: detail adds a line per poll cycle and
                    echoes operators' status and alarms requests (default: detail on a
                    terminal or with --json, else notice, as in a service's journal)
)";

const char* const kOverviewText =
    R"(Loads the device plug-ins of CONFIG, runs their devices on the serial lines it lists and
keeps records, alarms and reports in an SQLite database.
)";

const char* const kOverviewOptions =
    R"(  --json            run: JSON Lines (one JSON object a line); status, write, alarms,
                    history, scan, readdress and rebaud: one JSON document
)";

const char* const kExitStatuses =
    R"(exit status:
  0  done (write: confirmed)
  1  write not confirmed: the sensor echoed another value or count; standard output could not
     be written; a running host could not carry the command out (nothing sent unless it says)
  2  bad command line or configuration
  3  plug-in does not load
  4  serial device cannot be opened, or is in use by another process
  5  database cannot be opened or takes no writes (read-only, damaged); run --cycles: a
     cycle was not stored
  6  no answer from the sensor (write or status got none; run --cycles ended with a device
     that completed no cycle)
  7  write refused by the sensor (Modbus exception)
  8  readdress, rebaud --update-config: the change is verified, the configuration could not
     be written (the message names the member to set)
  scan: 6 when no sensor answered; readdress, rebaud: as write, and 6 also when the sensor
  gave no answer at the new setting (devhost readdress --help)
)";

std::string Synopses() {
  std::string text;
  for (const Subcommand& subcommand : SubcommandTable()) {
    text += (text.empty() ? "usage: " : "       ") + std::string(subcommand.usage.synopsis) + "\n";
  }
  return text + "       devhost SUBCOMMAND --help      (or: devhost help SUBCOMMAND)\n" +
         "       devhost --version\n";
}

std::string Summaries() {
  std::string text = "subcommands:\n";
  for (const Subcommand& subcommand : SubcommandTable()) {
    const std::string name = subcommand.name;
    text += "  " + name + std::string(10 - name.size(), ' ') + subcommand.usage.summary + "\n";
  }
  return text;
}

}  // namespace

std::string OverviewUsage() {
  return Synopses() + "\n" + kOverviewText + "\n" + Summaries() +
         "\noptions of every subcommand:\n" + kOverviewOptions + kSharedOptions +
         "  -h, --help        this overview; after a subcommand, that subcommand's usage\n"
         "  --version         print the version\n\n" +
         kExitStatuses;
}

std::string SubcommandUsage(const std::string& command) {
  const Subcommand* subcommand = FindSubcommand(command);
  if (subcommand == nullptr) return {};
  const UsageTexts& usage = subcommand->usage;
  std::string text = "usage: " + std::string(usage.synopsis) + "\n\n" + usage.description +
                     "\noptions:\n" + usage.options;
  if (usage.sharedOptions) text += kSharedOptions;
  return text + "  -h, --help        this text\n";
}

std::string VersionLine() { return "devhost " DEVHOST_VERSION; }

std::string UsageHint(const std::string& command) {
  if (FindSubcommand(command) == nullptr) return "see devhost --help";
  return "see devhost " + command + " --help";
}

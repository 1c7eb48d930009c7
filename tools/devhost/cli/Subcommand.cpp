// SPDX-License-Identifier: Apache-2.0
// The subcommands of devhost, each declared once: its usage, what it takes on the command line,
// and what does it: a function here, or, for a device command, the control request a running
// host answers (or a host started here when none runs). Parsing, usage, dispatch and the control
// socket all go by this table.
#include "cli/Subcommand.h"

#include <iterator>

#include "cli/DeviceCommand.h"
#include "cli/DeviceRequests.h"

// The subcommands no running host answers (the others: cli/DeviceCommand.h), each defined in
// a file of its own: the table is all that names them. Each command throws the error of the step
// that failed (ConfigError, PluginError, SerialError, StoreError); main turns it into one message
// and an exit status.
int RunCommand(const CommandLine& line, Console& console);
int HistoryCommand(const CommandLine& line, Console& console);
int PruneCommand(const CommandLine& line, Console& console);
int PlotCommand(const CommandLine& line, Console& console);
int ScanCommand(const CommandLine& line, Console& console);

namespace {

// The options of a device command that prints one result.
constexpr const char* kJsonDocumentOnly = "  --json            one JSON document\n";

// Constant: parsing may come before any other static of this file is made.
constexpr Subcommand kTable[] = {
    {"run",
     {"devhost [run] [options] CONFIG",
      "poll every line until SIGINT/SIGTERM/SIGHUP (or --cycles rounds)",
      R"(Polls every device on the serial lines of CONFIG, each line at its poll interval, and keeps
the records, alarm changes and analog reports in the database. SIGINT, SIGTERM or SIGHUP
ends the exchange in flight; the host then prints each device's summary and closes the
database. When its standard output fails (its reader went away) it says so once on standard
error and polls and stores on; it then exits 1 once stopped.
run is the subcommand taken when none is named.
)",
      R"(  --cycles N        stop after N poll rounds; exit 6 if a device completed no cycle,
                    else 5 if a cycle was not stored (the run says how many)
  --json            JSON Lines: one JSON object a line, one line per event
  --summary-every S one line every S seconds with the cycles, failures and MQTT messages of
                    that time (default 3600; 0: none)
)",
      true},
     "--cycles --summary-every",
     TakeConfigOnly,
     RunCommand,
     std::nullopt},
    {"status",
     {"devhost status [options] CONFIG", "one poll round, then each device's status document",
      R"(Runs one poll round on every line of CONFIG, then prints each device's status document
(command 801). Exit 6 when the sensor gives no answer.
)",
      kJsonDocumentOnly, true},
     "",
     TakeConfigOnly,
     nullptr,
     DeviceCommand{EveryDeviceRequest, "status", InProcessStart::kFirstRound, true, nullptr}},
    {"write",
     {"devhost write [options] CONFIG DATA_ID ADDRESS VALUE [VALUE...]",
      "write one register or several and wait for the sensor's answer",
      R"(Writes VALUE to register ADDRESS of device DATA_ID (one VALUE: command 206; several, to
consecutive registers: command 210, at most 123 values) and waits for the outcome; then runs
one cycle of that device and prints its status document. A VALUE is 0 to 65535, or -32768
to -1 sent as two's complement: -5 is 65531, a temperature calibration of -0.5. A write that
reaches the sensor's address or speed register (2000, 2001) is refused: readdress and rebaud
change them, with their checks.

exit status: 0 confirmed, 1 not confirmed (the sensor echoed another value or count),
6 no answer, 7 refused (Modbus exception); 2 to 5 as for every subcommand (devhost --help).
)",
      kJsonDocumentOnly, true},
     "",
     TakeWriteWords,
     nullptr,
     DeviceCommand{WriteRequest, "write", InProcessStart::kLinesOpen, true, nullptr}},
    {"alarms",
     {"devhost alarms [options] CONFIG", "list the active alarms of each device",
      R"(Lists the active alarms of each device of CONFIG.
)",
      kJsonDocumentOnly, true},
     "",
     TakeConfigOnly,
     nullptr,
     DeviceCommand{EveryDeviceRequest, "alarms", InProcessStart::kStoreOnly, false, nullptr}},
    {"history",
     {"devhost history [options] (CONFIG | --db FILE)",
      "list the stored records or events, or export them as CSV",
      R"(Lists the newest records kept in the database of CONFIG (or FILE), oldest first, or writes
them as CSV with their decoded values; with --alarms, --links or --reports the alarm changes,
link events or analog reports instead; with --every, per minute or per hour, the count of
records and the minimum, mean and maximum of each measured value (from the rollups the host
keeps, or computed from the records where the rollups do not reach). Times are ISO 8601 local
time. It reads the database only: no serial line is opened and no plug-in loaded.
)",
      R"(  --db FILE         the database to read instead of CONFIG's
  --data-id N       only the records of device N
  --since TIME      from TIME on, inclusive: 2026-12-08T01:49:28 (seconds, or the time of
                    day, may be left out) or a span back from now: 90s, 30m, 2h, 7d, 2w
  --until TIME      up to TIME, exclusive (same forms)
  --limit N         the newest N rows of the range (default 20, 0: all of them)
  --every 1m|1h     aggregates per minute or per hour instead of the records: count, min,
                    mean, max of each value, every minute or hour that overlaps the range
  --alarms          list the alarm changes instead of the records
  --links           list the link events (lost, restored) instead of the records
  --reports         list the analog reports instead of the records
  --csv FILE|-      write CSV to FILE, or to standard output for -
  --json            one JSON document
)",
      false},
     "--data-id --limit --csv --since --until --every --alarms --links --reports",
     TakeConfigOrDatabase,
     HistoryCommand,
     std::nullopt},
    {"prune",
     {"devhost prune [options] (CONFIG | --db FILE --days N)",
      "delete rows older than the retention",
      R"(Deletes the rows older than N days (--days, else CONFIG's retentionDays) from history,
alarm events, link events, threshold values and analog reports, and the minute and hour
rollups older than CONFIG's minuteRetentionDays and hourRetentionDays (default 365 and 3650
days), oldest first in small batches, so that a host running on the same database waits for
one batch at most. History rows not rolled up yet (a database from before rollups) are
rolled up first. The last record of each device and the last event of each alarm are kept.
The file is not VACUUMed: freed pages are reused by new rows.
Nothing is deleted while the clock is in doubt: the kernel calls it unsynchronised, or the
cutoff would take the newest row; rows a host stamped while its clock was in doubt are kept
(retention_holds), and so are history rows stamped later than now (a clock that ran ahead and
was set right since): they are told, and the rest is pruned. --future deletes those instead:
every row stamped later than now, and the rollups' buckets that begin later.
)",
      R"(  --db FILE         the database to prune instead of CONFIG's
  --days N          keep the last N days (1 to 36500)
  --trust-clock     prune although the kernel calls the clock unsynchronised
  --future          delete the rows stamped later than now instead (no --days needed)
)",
      false},
     "--days --trust-clock --future",
     TakeConfigOrDatabase,
     PruneCommand,
     std::nullopt},
    {"plot",
     {"devhost plot [options] (CONFIG | --db FILE) [--data-id N]",
      "draw a device's temperature, humidity and pressure with gnuplot",
      R"(Draws temperature, humidity and pressure of one device over a time range with gnuplot:
CONFIG's mode-5 limits as dotted lines, alarm raise (red) and clear (green) moments as
dashed lines, grey where the link was lost, breaks where records are missing. Long ranges
are drawn from the lowest and highest value of each pixel column, read from the hour or
minute rollups when these still fill every column (a year: hours, a day: minutes); the
title and the line printed say which. Exit 1 when the range holds no record.
)",
      R"(  --db FILE         the database to read instead of CONFIG's
  --data-id N       the device (needed when CONFIG, or FILE alone, has more than one)
  --since TIME, --until TIME
                    the range, as for history (default: every record)
  --output FILE     FILE.svg (default device-N.svg) or FILE.png
  --size WxH        picture size in pixels (default 1200x900)
)",
      false},
     "--data-id --since --until --output --size",
     TakeConfigOrDatabase,
     PlotCommand,
     std::nullopt},
    {"scan",
     {"devhost scan [options] PORT", "find DO3008RA sensors on a serial port",
      R"(Asks every address of the range at every speed (9600, the factory speed, first, then the
others from the fastest down) for input registers 2000-2001 and lists every DO3008RA that
answers: the address and speed it answered at, whether its registers say the same, and the
host configuration's members that reach it ("device", "baudRate", "slaveAddress"). With
--first the scan stops at the first sensor found. Progress goes to standard error (one line
rewritten in place on a terminal); Ctrl-C stops and lists what was found.
The port is taken for the scan alone: a port a running host holds is refused (exit 4).

exit status: 0 at least one sensor found, 6 none found; 2 and 4 as for every subcommand.
)",
      R"(  --baud LIST       speeds to try, in the order given, e.g. 9600,19200 (default: all
                    eight, 9600 first, then from the fastest down)
  --parity LIST     none, even, odd (default none)
  --address A[-B]   addresses to ask (default 1-247)
  --timeout MS      how long each address is given to answer (default 100)
  --first           stop at the first sensor found
  --json            one JSON document
)",
      false},
     "--baud --parity --address --timeout --first",
     TakeScanWords,
     ScanCommand,
     std::nullopt},
    {"readdress",
     {"devhost readdress [options] CONFIG DATA_ID NEW_ADDRESS",
      "move a sensor to another address and follow it there",
      R"(Writes NEW_ADDRESS to register 2000 of device DATA_ID (command 206); once the sensor
confirms, reads registers 2000-2001 at the new address and reports "now at address 9, 9600
baud: verified", then names the configuration member to change (or, with --update-config,
changes it). A change that cannot be verified is undone on the host's side and the sensor is
asked at the old address again. A running host on CONFIG makes the change on its own line.

exit status: 0 verified, 1 the sensor answered with registers that disagree, 2 not done (the
address is another device's), 6 no answer (to the write or at the new address), 7 refused
by the sensor; 2 to 5 as for every subcommand.
)",
      R"(  --update-config   write the new address into CONFIG; the old file is kept as CONFIG.bak
                    and, by the first change (no CONFIG.orig yet), as CONFIG.orig too
  --json            one JSON document
)",
      true},
     "--update-config",
     TakeChangeWords,
     nullptr,
     DeviceCommand{ChangeRequest, "readdress", InProcessStart::kLinesOpen, false, FollowInConfig}},
    {"rebaud",
     {"devhost rebaud [options] CONFIG DATA_ID SPEED",
      "move a sensor's line to another speed and follow it there",
      R"(Writes the code of SPEED (1200, 2400, 4800, 9600, 19200, 38400, 57600 or 115200 baud) to
register 2001 of device DATA_ID (command 206); once the sensor confirms, switches the line to
SPEED, reads registers 2000-2001 there and reports "now at address 1, 38400 baud: verified",
then names the configuration member to change (or, with --update-config, changes it). A
change that cannot be verified puts the line back on its old speed and asks the sensor there.
A line with other devices is not changed without --force: they would no longer be heard.

exit status: as for readdress; 2 also when other devices share the line.
)",
      R"(  --force           change the speed although other devices share the line
  --update-config   write the new speed into CONFIG; the old file is kept as CONFIG.bak
                    and, by the first change (no CONFIG.orig yet), as CONFIG.orig too
  --json            one JSON document
)",
      true},
     "--force --update-config",
     TakeChangeWords,
     nullptr,
     DeviceCommand{ChangeRequest, "rebaud", InProcessStart::kLinesOpen, false, FollowInConfig}},
};

}  // namespace

const std::vector<Subcommand>& SubcommandTable() {
  static const std::vector<Subcommand> table(std::begin(kTable), std::end(kTable));
  return table;
}

const Subcommand* FindSubcommand(const std::string& name) {
  for (const Subcommand& subcommand : SubcommandTable()) {
    if (name == subcommand.name) return &subcommand;
  }
  return nullptr;
}

int RunSubcommand(const CommandLine& line, Console& console) {
  const Subcommand* subcommand = FindSubcommand(line.command);
  if (subcommand == nullptr) throw UsageError("unknown subcommand '" + line.command + "'");
  if (subcommand->device) return RunDeviceCommand(*subcommand->device, line, console);
  return subcommand->run(line, console);
}

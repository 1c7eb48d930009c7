#include "cli/CommandLine.h"

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <map>

namespace {

const char* const kCommands[] = {"run", "status", "write", "history"};

long long Number(const std::string& what, const std::string& text, long long low, long long high) {
  char* end = nullptr;
  errno = 0;
  const long long value = std::strtoll(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || value < low || value > high) {
    throw UsageError(what + ": expected a whole number from " + std::to_string(low) + " to " +
                     std::to_string(high) + ", got '" + text + "'");
  }
  return value;
}

// A register takes 0-65535, or a negative value down to -32768 written as two's complement
// (temperature calibration -0.5 is -5, sent as 65531).
uint16_t RegisterValue(const std::string& text) {
  char* end = nullptr;
  errno = 0;
  const long long value = std::strtoll(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0') {
    throw UsageError("value: expected a whole number, got '" + text + "'");
  }
  if (errno != 0 || value < -32768 || value > 0xFFFF) {
    throw UsageError("value " + text + " does not fit a 16-bit register (-32768 to 65535)");
  }
  return static_cast<uint16_t>(value & 0xFFFF);
}

// "-5" is a value, not an option.
bool IsNegativeNumber(const std::string& arg) {
  return arg.size() > 1 && arg[0] == '-' && arg[1] >= '0' && arg[1] <= '9';
}

// --port PATH sets line 0; --port N=PATH sets line N.
void AddPort(ConfigOverrides& overrides, const std::string& text) {
  const auto equals = text.find('=');
  if (equals == std::string::npos) {
    overrides.ports[0] = text;
    return;
  }
  const auto index = Number("--port", text.substr(0, equals), 0, 1000);
  overrides.ports[static_cast<std::size_t>(index)] = text.substr(equals + 1);
}

bool IsCommand(const std::string& word) {
  for (const char* command : kCommands) {
    if (word == command) return true;
  }
  return false;
}

void TakePositionals(CommandLine& line, std::vector<std::string> words) {
  if (!words.empty() && IsCommand(words.front())) {
    line.command = words.front();
    words.erase(words.begin());
  }
  const bool historyFromDb = line.command == "history" && !line.overrides.database.empty();
  if (words.empty()) {
    if (historyFromDb) return;
    throw UsageError("the configuration file is missing");
  }
  line.configPath = words.front();
  words.erase(words.begin());
  if (line.command == "write") {
    if (words.size() < 3) throw UsageError("write needs DATA_ID ADDRESS VALUE [VALUE...]");
    if (words.size() > 2 + 123) throw UsageError("write takes at most 123 values");
    line.dataId = static_cast<uint32_t>(Number("data id", words[0], 0, 0xFFFFFFFFLL));
    line.address = static_cast<uint16_t>(Number("address", words[1], 0, 0xFFFF));
    for (std::size_t i = 2; i < words.size(); ++i) {
      line.values.push_back(RegisterValue(words[i]));
    }
    return;
  }
  if (!words.empty()) throw UsageError("unexpected argument '" + words.front() + "'");
}

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
  CommandLine line;
  using Setter = std::function<void(const std::string&)>;
  const std::map<std::string, Setter> valued = {
      {"--db", [&](const std::string& v) { line.overrides.database = v; }},
      {"--plugin-dir", [&](const std::string& v) { line.overrides.pluginDir = v; }},
      {"--port", [&](const std::string& v) { AddPort(line.overrides, v); }},
      {"--plugin-log", [&](const std::string& v) { line.pluginLog = v; }},
      {"--cycles",
       [&](const std::string& v) {
         line.cycles = static_cast<long>(Number("--cycles", v, 1, 1000000000));
       }},
      {"--data-id",
       [&](const std::string& v) {
         line.historyDataId = static_cast<uint32_t>(Number("--data-id", v, 0, 0xFFFFFFFFLL));
       }},
      {"--limit", [&](const std::string& v) { line.limit = Number("--limit", v, 0, 1LL << 40); }},
      {"--csv", [&](const std::string& v) { line.csvPath = v; }},
  };
  std::vector<std::string> positionals;
  bool optionsEnded = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (optionsEnded || IsNegativeNumber(arg)) {
      positionals.push_back(arg);
    } else if (arg == "--") {
      optionsEnded = true;
    } else if (arg == "--json") {
      line.json = true;
    } else if (arg == "--help" || arg == "-h") {
      line.help = true;
    } else if (auto option = valued.find(arg); option != valued.end()) {
      if (i + 1 >= args.size()) throw UsageError(arg + ": a value is missing");
      option->second(args[++i]);
    } else if (arg.size() > 1 && arg[0] == '-') {
      throw UsageError("unknown option '" + arg + "'");
    } else {
      positionals.push_back(arg);
    }
  }
  if (line.help) return line;
  TakePositionals(line, positionals);
  return line;
}

const char* Usage() {
  return R"(usage: devhost [run] [options] CONFIG
       devhost status [options] CONFIG
       devhost write [options] CONFIG DATA_ID ADDRESS VALUE [VALUE...]
       devhost history [options] (CONFIG | --db FILE) [--data-id N] [--limit N] [--csv FILE|-]

Loads the device plug-ins of CONFIG, runs their devices on the serial lines it lists and keeps
records, alarms and reports in an SQLite database.

  run       poll every line at its interval until SIGINT/SIGTERM (or --cycles rounds)
  status    one poll round, then each device's status document
  write     write one register (one VALUE) or several, and wait for the outcome:
            confirmed, not confirmed or no answer
  history   list the stored records, or export them as CSV

options:
  --json            machine-readable lines, one JSON object each
  --db FILE         database file (default: CONFIG's "database", else CONFIG with .db)
  --port [N=]PATH   serial device of line N (default line 0), overriding CONFIG
  --plugin-dir DIR  take relative plug-in paths from DIR instead of CONFIG's folder
  --plugin-log FILE the plug-ins' own diagnostic lines go to FILE (default: standard error)
  --cycles N        run: stop after N poll rounds

exit status: 0 done (write: confirmed), 1 write not confirmed or no answer, 2 bad command line or
configuration, 3 plug-in does not load, 4 serial device cannot be opened, 5 database cannot be
opened
)";
}

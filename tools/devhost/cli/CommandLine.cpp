// SPDX-License-Identifier: Apache-2.0
#include "cli/CommandLine.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <initializer_list>

#include "cli/CommissionOptions.h"
#include "cli/Subcommand.h"
#include "config/Paths.h"

namespace {

// A register takes 0-65535, or a negative value down to -32768 written as two's complement
// (temperature calibration -0.5 is -5, sent as 65531).
int RegisterValue(const std::string& text) {
  char* end = nullptr;
  errno = 0;
  const long long value = std::strtoll(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0') {
    throw UsageError("value: expected a whole number, got '" + text + "'");
  }
  if (errno != 0 || value < -32768 || value > 0xFFFF) {
    throw UsageError("value " + text + " does not fit a 16-bit register (-32768 to 65535)");
  }
  return static_cast<int>(value);
}

// "-5" is a value, not an option.
bool IsNegativeNumber(const std::string& arg) {
  return arg.size() > 1 && arg[0] == '-' && arg[1] >= '0' && arg[1] <= '9';
}

bool IsOption(const std::string& arg) {
  return arg.size() > 1 && arg[0] == '-' && !IsNegativeNumber(arg);
}

// --port PATH sets line 0; --port N=PATH sets line N.
void AddPort(ConfigOverrides& overrides, const std::string& text) {
  const auto equals = text.find('=');
  if (equals == std::string::npos) {
    overrides.ports[0] = text;
    return;
  }
  const auto index = ParseWholeNumber("--port", text.substr(0, equals), 0, 1000);
  overrides.ports[static_cast<std::size_t>(index)] = text.substr(equals + 1);
}

// --size WIDTHxHEIGHT in pixels.
void SetPlotSize(CommandLine& line, const std::string& text) {
  const auto x = text.find('x');
  if (x == std::string::npos) throw UsageError("--size: expected WIDTHxHEIGHT, got '" + text + "'");
  line.plotWidth =
      static_cast<int>(ParseWholeNumber("--size width", text.substr(0, x), 320, 10000));
  line.plotHeight =
      static_cast<int>(ParseWholeNumber("--size height", text.substr(x + 1), 240, 10000));
}

// An option of devhost; a flag takes no value and is set with its own name.
struct Option {
  const char* name;
  bool valued;
  bool everySubcommand;  // else the subcommands whose options (cli/Subcommand.h) name it
  void (*set)(CommandLine& line, const std::string& value);
};

void SetLogLevel(CommandLine& line, const std::string& value) {
  line.logLevel = ParseLogLevel(value);
  if (!line.logLevel) {
    throw UsageError("--log-level: expected error, warning, notice or detail, got '" + value + "'");
  }
}

// history --alarms, --links, --reports: the table to list instead of the records.
void SetHistoryTable(CommandLine& line, const std::string& flag) {
  if (!line.historyTable.empty()) {
    throw UsageError("--" + line.historyTable + " and " + flag + " list different tables");
  }
  line.historyTable = flag.substr(2);
}

const Option kOptions[] = {
    {"--json", false, true, [](CommandLine& l, const std::string&) { l.json = true; }},
    {"--db", true, true, [](CommandLine& l, const std::string& v) { l.overrides.database = v; }},
    {"--port", true, true, [](CommandLine& l, const std::string& v) { AddPort(l.overrides, v); }},
    {"--plugin-dir", true, true,
     [](CommandLine& l, const std::string& v) { l.overrides.pluginDir = v; }},
    {"--plugin-log", true, true, [](CommandLine& l, const std::string& v) { l.pluginLog = v; }},
    {"--log-level", true, true, SetLogLevel},
    {"--summary-every", true, false,
     [](CommandLine& l, const std::string& v) {
       l.summaryEverySeconds = static_cast<long>(ParseWholeNumber("--summary-every", v, 0, 86400));
     }},
    {"--cycles", true, false,
     [](CommandLine& l, const std::string& v) {
       l.cycles = static_cast<long>(ParseWholeNumber("--cycles", v, 1, 1000000000));
     }},
    {"--data-id", true, false,
     [](CommandLine& l, const std::string& v) {
       l.historyDataId = static_cast<uint32_t>(ParseWholeNumber("--data-id", v, 0, 0xFFFFFFFFLL));
     }},
    {"--limit", true, false,
     [](CommandLine& l, const std::string& v) {
       l.limit = ParseWholeNumber("--limit", v, 0, 1LL << 40);
     }},
    {"--csv", true, false, [](CommandLine& l, const std::string& v) { l.csvPath = v; }},
    {"--since", true, false, [](CommandLine& l, const std::string& v) { l.since = v; }},
    {"--until", true, false, [](CommandLine& l, const std::string& v) { l.until = v; }},
    {"--every", true, false,
     [](CommandLine& l, const std::string& v) {
       if (v != "1m" && v != "1h") {
         throw UsageError("--every: expected 1m (per minute) or 1h (per hour), got '" + v + "'");
       }
       l.every = v;
     }},
    {"--alarms", false, false, SetHistoryTable},
    {"--links", false, false, SetHistoryTable},
    {"--reports", false, false, SetHistoryTable},
    {"--days", true, false,
     [](CommandLine& l, const std::string& v) {
       // As retentionDays: 0 would delete every row, the newest too.
       l.retentionDays = static_cast<int>(ParseWholeNumber("--days", v, 1, 36500));
     }},
    {"--output", true, false, [](CommandLine& l, const std::string& v) { l.plotOutput = v; }},
    {"--size", true, false, [](CommandLine& l, const std::string& v) { SetPlotSize(l, v); }},
    {"--baud", true, false, SetScanBauds},
    {"--parity", true, false, SetScanParities},
    {"--address", true, false, SetScanAddresses},
    {"--timeout", true, false, SetScanTimeout},
    {"--first", false, false, [](CommandLine& l, const std::string&) { l.scan.first = true; }},
    {"--force", false, false, [](CommandLine& l, const std::string&) { l.force = true; }},
    {"--trust-clock", false, false,
     [](CommandLine& l, const std::string&) { l.trustClock = true; }},
    {"--future", false, false, [](CommandLine& l, const std::string&) { l.future = true; }},
    {"--update-config", false, false,
     [](CommandLine& l, const std::string&) { l.updateConfig = true; }},
};

const Option* FindOption(const std::string& name) {
  for (const Option& option : kOptions) {
    if (name == option.name) return &option;
  }
  return nullptr;
}

// One argument as written, before any of it is judged: a word (subcommand, file, number), an
// option with its value (absent when the line ends first), or a flag.
struct Argument {
  std::string text;
  bool isOption = false;
  const Option* option = nullptr;  // null for an option devhost does not know
  std::optional<std::string> value;
};

std::vector<Argument> Split(const std::vector<std::string>& args) {
  std::vector<Argument> arguments;
  bool optionsEnded = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (!optionsEnded && arg == "--") {
      optionsEnded = true;
      continue;
    }
    Argument argument{arg, !optionsEnded && IsOption(arg), nullptr, std::nullopt};
    if (argument.isOption) argument.option = FindOption(arg);
    if (argument.option && argument.option->valued && i + 1 < args.size()) {
      argument.value = args[++i];
    }
    arguments.push_back(argument);
  }
  return arguments;
}

std::vector<std::string> Words(const std::vector<Argument>& arguments) {
  std::vector<std::string> words;
  for (const Argument& argument : arguments) {
    if (!argument.isOption) words.push_back(argument.text);
  }
  return words;
}

bool IsSubcommand(const std::string& word) { return FindSubcommand(word) != nullptr; }

bool HasFlag(const std::vector<Argument>& arguments, std::initializer_list<const char*> names) {
  return std::any_of(arguments.begin(), arguments.end(), [&](const Argument& argument) {
    return argument.isOption && std::any_of(names.begin(), names.end(), [&](const char* name) {
             return argument.text == name;
           });
  });
}

// "help [SUBCOMMAND]" asks for a usage, like --help does.
void TakeHelpTopic(CommandLine& line, std::vector<std::string>& words) {
  if (line.commandNamed || words.empty() || words.front() != "help") return;
  line.help = true;
  if (words.size() > 2) throw UsageError("help takes one subcommand");
  if (words.size() == 2) {
    if (!IsSubcommand(words[1])) throw UsageError("unknown subcommand '" + words[1] + "'");
    line.command = words[1];
    line.commandNamed = true;
  }
}

bool Takes(const Subcommand& subcommand, const std::string& option) {
  return (" " + std::string(subcommand.options) + " ").find(" " + option + " ") !=
         std::string::npos;
}

// "history and plot": the subcommands that take `option`.
std::string TakersOf(const std::string& option) {
  std::vector<std::string> takers;
  for (const Subcommand& subcommand : SubcommandTable()) {
    if (Takes(subcommand, option)) takers.push_back(subcommand.name);
  }
  std::string text;
  for (std::size_t i = 0; i < takers.size(); ++i) {
    text += (i == 0 ? "" : i + 1 == takers.size() ? " and " : ", ") + takers[i];
  }
  return text;
}

void ApplyOption(CommandLine& line, const Argument& argument) {
  const Option* option = argument.option;
  if (option == nullptr) throw UsageError("unknown option '" + argument.text + "'");
  if (option->valued && !argument.value) throw UsageError(argument.text + ": a value is missing");
  if (!option->everySubcommand && !Takes(*FindSubcommand(line.command), option->name)) {
    throw UsageError(argument.text + " is an option of " + TakersOf(option->name) + ", not of " +
                     line.command);
  }
  option->set(line, option->valued ? *argument.value : argument.text);
}

void ApplyOptions(CommandLine& line, const std::vector<Argument>& arguments) {
  for (const Argument& argument : arguments) {
    if (argument.isOption) ApplyOption(line, argument);
  }
}

void TakeWriteValues(CommandLine& line, const std::vector<std::string>& words) {
  if (words.size() < 3) throw UsageError("write needs DATA_ID ADDRESS VALUE [VALUE...]");
  if (words.size() > 2 + 123) throw UsageError("write takes at most 123 values");
  line.dataId = static_cast<uint32_t>(ParseWholeNumber("data id", words[0], 0, 0xFFFFFFFFLL));
  line.address = static_cast<uint16_t>(ParseWholeNumber("address", words[1], 0, 0xFFFF));
  for (std::size_t i = 2; i < words.size(); ++i) {
    const int value = RegisterValue(words[i]);
    line.typedValues.push_back(value);
    line.values.push_back(static_cast<uint16_t>(value & 0xFFFF));
  }
}

// The configuration, the first word; the words after it.
std::vector<std::string> TakeConfig(CommandLine& line, std::vector<std::string> words) {
  if (words.empty()) throw UsageError("the configuration file is missing");
  line.configPath = words.front();
  words.erase(words.begin());
  return words;
}

// A first word that names no subcommand and is followed by more is most likely a mistyped
// subcommand; a path ("site.json", "./x") followed by more is a configuration with extras.
void RejectUnknownSubcommand(const CommandLine& line, const std::vector<std::string>& words) {
  if (line.commandNamed || words.size() < 2) return;
  if (words.front().find_first_of("./") == std::string::npos) {
    throw UsageError("unknown subcommand '" + words.front() + "'");
  }
}

void TakePositionals(CommandLine& line, const std::vector<std::string>& words) {
  RejectUnknownSubcommand(line, words);
  FindSubcommand(line.command)->takeWords(line, words);
}

}  // namespace

std::vector<OptionName> OptionNames() {
  std::vector<OptionName> names = {{"-h", true}, {"--help", true}, {"--version", true}};
  for (const Option& option : kOptions) names.push_back({option.name, option.everySubcommand});
  return names;
}

const std::vector<std::string>& Subcommands() {
  static const std::vector<std::string> all = [] {
    std::vector<std::string> names;
    for (const Subcommand& subcommand : SubcommandTable()) names.push_back(subcommand.name);
    return names;
  }();
  return all;
}

void TakeConfigOnly(CommandLine& line, std::vector<std::string> words) {
  const std::vector<std::string> extra = TakeConfig(line, std::move(words));
  if (!extra.empty()) throw UsageError("unexpected argument '" + extra.front() + "'");
}

void TakeConfigOrDatabase(CommandLine& line, std::vector<std::string> words) {
  // These read or prune the database only; --db can stand for the configuration.
  if (words.empty() && !line.overrides.database.empty()) return;
  TakeConfigOnly(line, std::move(words));
}

void TakeWriteWords(CommandLine& line, std::vector<std::string> words) {
  TakeWriteValues(line, TakeConfig(line, std::move(words)));
}

void TakeChangeWords(CommandLine& line, std::vector<std::string> words) {
  TakeChange(line, TakeConfig(line, std::move(words)));
}

void TakeScanWords(CommandLine& line, std::vector<std::string> words) { TakeScanPort(line, words); }

void TakeDeviceWords(CommandLine& line, std::vector<std::string> words) {
  std::vector<std::string> rest = TakeConfig(line, std::move(words));
  if (rest.empty()) throw UsageError(line.command + " needs DATA_ID");
  line.dataId = static_cast<uint32_t>(ParseWholeNumber("data id", rest.front(), 0, 0xFFFFFFFFLL));
  line.deviceWords.assign(rest.begin() + 1, rest.end());
}

long long ParseWholeNumber(const std::string& what, const std::string& text, long long low,
                           long long high) {
  char* end = nullptr;
  errno = 0;
  const long long value = std::strtoll(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || value < low || value > high) {
    throw UsageError(what + ": expected a whole number from " + std::to_string(low) + " to " +
                     std::to_string(high) + ", got '" + text + "'");
  }
  return value;
}

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
  const std::vector<Argument> arguments = Split(args);
  std::vector<std::string> words = Words(arguments);
  CommandLine line;
  line.overrides.installedPluginDir = InstalledPluginDir();
  if (!words.empty() && IsSubcommand(words.front())) {
    line.command = words.front();
    line.commandNamed = true;
    words.erase(words.begin());
  }
  TakeHelpTopic(line, words);
  // --help and --version answer whatever else the line holds, so that either can be added to
  // a command that went wrong.
  line.help = line.help || HasFlag(arguments, {"--help", "-h"});
  line.version = HasFlag(arguments, {"--version"});
  if (line.help || line.version) return line;
  ApplyOptions(line, arguments);
  TakePositionals(line, words);
  return line;
}

std::string NamedSubcommand(const std::vector<std::string>& args) {
  const std::vector<std::string> words = Words(Split(args));
  return !words.empty() && IsSubcommand(words.front()) ? words.front() : std::string();
}

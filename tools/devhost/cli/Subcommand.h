#pragma once

#include <optional>
#include <string>
#include <vector>

#include <json/value.h>

#include "cli/CommandLine.h"
#include "events/Console.h"
#include "service/CommandResult.h"

class RequestHandler;

// What a host started in this process for one command shows before the command's own events,
// so that the command run without a host shows what it always showed. The host's later polls
// are never shown: it runs quietly.
enum class InProcessShows {
  kAnswer,              // nothing
  kRestored,            // what it said while starting: the records restored
  kRestoredFirstRound,  // also its first poll round, whose cycle the status document is of
};

// A subcommand a running host answers through its control socket. Without one, a host started
// in this process answers the same request with the same handler.
struct DeviceCommand {
  // The request the command line makes; ConfigError for a device the configuration lacks.
  Json::Value (*request)(const CommandLine& line, const HostConfig& config);
  CommandResult (RequestHandler::*answer)(const Json::Value& request);
  // False: answered from the store alone (alarms), which must be there; the serial lines stay
  // closed, so it works while the sensor's port is busy or gone.
  bool needsSerialLines;
  InProcessShows shows;
  // Run by the client after an answer with exit status 0 (readdress, rebaud: the configuration
  // follows the sensor); the exit status. Null: nothing to do.
  int (*follow)(Json::Value& answer, const HostConfig& config, const CommandLine& line);
};

struct UsageTexts {
  const char* synopsis;
  const char* summary;      // its line in the overview
  const char* description;  // what it does, for its own usage
  const char* options;      // its own options
  bool sharedOptions;       // the options of every subcommand belong in its usage too
};

struct Subcommand {
  const char* name;
  UsageTexts usage;
  // The options it takes besides those of every subcommand, separated by spaces.
  const char* options;
  // Reads the words after the subcommand's name (UsageError for words it does not take).
  void (*takeWords)(CommandLine& line, std::vector<std::string> words);
  // Does a subcommand no running host answers; null for a device command.
  int (*run)(const CommandLine& line, Console& console);
  std::optional<DeviceCommand> device;
};

// Every subcommand, in the order the overview lists them.
const std::vector<Subcommand>& SubcommandTable();
// nullptr for a word that names none.
const Subcommand* FindSubcommand(const std::string& name);
// The subcommand `line` names, run here or answered by a host.
int RunSubcommand(const CommandLine& line, Console& console);

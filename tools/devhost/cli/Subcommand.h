// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <json/value.h>

#include "cli/CommandLine.h"
#include "events/Console.h"
#include "service/CommandResult.h"

// What a host started in this process for one command does before it takes the request. Its
// lines poll only when asked: a round of their own would either show in the answer, which the
// command without a host never showed, or talk on the bus and fill the store unseen.
enum class InProcessStart {
  kStoreOnly,   // the serial lines stay closed (alarms: works while the port is busy or gone)
  kLinesOpen,   // the lines open, nothing polled
  kFirstRound,  // every device polled once: the round the status document is of
};

// A subcommand a running host answers through its control socket. Without one, a host started
// in this process answers the same request with the same handler.
struct DeviceCommand {
  // The request's members the command line gives; ConfigError for a device the configuration
  // lacks (cli/DeviceRequests.h has the pieces a request is made of).
  Json::Value (*request)(const CommandLine& line, const HostConfig& config);
  // The control protocol's request it is, by name ("status"); a unit test holds the command
  // line to the requests the protocol's table (control/RequestHandler.cpp) serves.
  const char* control;
  InProcessStart start;
  // Its answer shows first what that host said while starting (the records it restored) and
  // its first round; without a host, write and status always did.
  bool showsStart;
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

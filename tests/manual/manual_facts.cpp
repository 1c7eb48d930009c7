// SPDX-License-Identifier: Apache-2.0
// Prints what devhost's manual pages must document, as the code has it: the subcommands of
// the table, the options each takes, the configuration's members and the defaults the parsers
// give members that are left out. tests/manual/check_manuals.py compares the pages with it.
//   subcommand NAME | option SUBCOMMAND|* --NAME | member PATH | default PATH JSON
#include <cstdio>
#include <sstream>
#include <string>

#include "cli/CommandLine.h"
#include "cli/Subcommand.h"
#include "config/HostConfig.h"
#include "config/KnownMembers.h"

namespace {

// The smallest configuration that reaches every parser: what it leaves out takes its default.
const char* const kSmallestConfig = R"({"lines": [{"device": "/dev/ttyUSB0", "rs485": {},
  "devices": [{"plugin": "do3008ra.so", "dataId": 1}]}], "mqtt": {}})";

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

std::string ParityText(char parity) {
  return Quoted(parity == 'E' ? "even" : parity == 'O' ? "odd" : "none");
}

void PrintDefault(const std::string& path, const std::string& value) {
  std::printf("default %s %s\n", path.c_str(), value.c_str());
}

void PrintCommandLine() {
  for (const Subcommand& subcommand : SubcommandTable()) {
    std::printf("subcommand %s\n", subcommand.name);
    std::istringstream options(subcommand.options);
    for (std::string option; options >> option;) {
      std::printf("option %s %s\n", subcommand.name, option.c_str());
    }
  }
  for (const OptionName& option : OptionNames()) {
    if (option.everySubcommand) std::printf("option * %s\n", option.name.c_str());
  }
}

void PrintDefaults() {
  const HostConfig config = ParseHostConfig(kSmallestConfig, "/etc/devhost/host.json", {});
  PrintDefault("minuteRetentionDays", std::to_string(config.minuteRetentionDays));
  PrintDefault("hourRetentionDays", std::to_string(config.hourRetentionDays));
  const LineConfig& line = config.lines.front();
  PrintDefault("lines[].baudRate", std::to_string(line.baudRate));
  PrintDefault("lines[].parity", ParityText(line.parity));
  PrintDefault("lines[].dataBits", std::to_string(line.dataBits));
  PrintDefault("lines[].stopBits", std::to_string(line.stopBits));
  PrintDefault("lines[].responseTimeoutMs", std::to_string(line.responseTimeoutMs));
  PrintDefault("lines[].pollIntervalMs", std::to_string(line.pollIntervalMs));
  PrintDefault("lines[].linkLostAfter", std::to_string(line.linkLostAfter));
  PrintDefault("lines[].rs485.rtsOnSend", Quoted(line.rs485->rtsHighOnSend ? "high" : "low"));
  const MqttConfig& mqtt = *config.mqtt;
  PrintDefault("mqtt.host", Quoted(mqtt.host));
  PrintDefault("mqtt.port", std::to_string(mqtt.port));
  PrintDefault("mqtt.prefix", Quoted(mqtt.prefix));
  PrintDefault("mqtt.qos", std::to_string(mqtt.qos));
  PrintDefault("mqtt.keepAliveS", std::to_string(mqtt.keepAliveS));
  PrintDefault("mqtt.homeAssistant", mqtt.homeAssistant ? "true" : "false");
  PrintDefault("mqtt.discoveryPrefix", Quoted(mqtt.discoveryPrefix));
  PrintDefault("mqtt.queueLimit", std::to_string(mqtt.queueLimit));
}

}  // namespace

int main() {
  try {
    PrintCommandLine();
    for (const std::string& path : KnownMemberPaths()) std::printf("member %s\n", path.c_str());
    PrintDefaults();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "manual_facts: %s\n", error.what());
    return 1;
  }
  return 0;
}

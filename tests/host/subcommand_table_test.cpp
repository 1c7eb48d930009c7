// SPDX-License-Identifier: Apache-2.0
// The table of subcommands: what parsing, usage, dispatch and the control socket take from it.
#include <gtest/gtest.h>
#include <json/reader.h>

#include "cli/Subcommand.h"
#include "cli/Usage.h"
#include "control/RequestHandler.h"
#include "service/Host.h"

namespace {

Json::Value ParseAnswer(const std::string& text) {
  Json::Value value;
  Json::Reader().parse(text, value);
  return value;
}

// Each subcommand can be run and explained: a usage, words it reads, and either a function of
// its own or a request a host answers; each device command is the control request of its name,
// which clients of other versions send.
TEST(SubcommandTable, EverySubcommandHasAUsageAndOneWayToBeDone) {
  for (const Subcommand& subcommand : SubcommandTable()) {
    const std::string name = subcommand.name;
    EXPECT_EQ(FindSubcommand(name), &subcommand) << name;
    EXPECT_NE(std::string(subcommand.usage.synopsis).find(name), std::string::npos) << name;
    EXPECT_NE(std::string(subcommand.usage.summary), "") << name;
    EXPECT_NE(subcommand.takeWords, nullptr) << name;
    EXPECT_NE(subcommand.run != nullptr, subcommand.device.has_value()) << name;
    if (!subcommand.device) continue;
    EXPECT_NE(subcommand.device->request, nullptr) << name;
    EXPECT_TRUE(IsControlRequest(subcommand.device->control)) << name;
    EXPECT_EQ(subcommand.device->control, name);
  }
  EXPECT_EQ(FindSubcommand("help"), nullptr);
}

// A request names a device command of the table or is refused as a usage error, the host
// untouched: subcommands no host answers are as unknown to it as any other word.
TEST(SubcommandTable, ARequestForNoDeviceCommandIsAUsageError) {
  const HostConfig config;
  Host host(config);
  RequestHandler handler(host);
  for (const std::string command : {"history", "run", "help", ""}) {
    const Json::Value answer = ParseAnswer(handler(R"({"command": ")" + command + R"("})"));
    EXPECT_EQ(answer["exit_code"].asInt(), 2) << command;
    EXPECT_EQ(answer["error"].asString(), "unknown command \"" + command + "\"");
  }
  const Json::Value status = ParseAnswer(handler(R"({"command": "status"})"));
  EXPECT_EQ(status["exit_code"].asInt(), 0) << status.toStyledString();
  EXPECT_EQ(status["command"].asString(), "status");
}

// Fault caught: a host that checks a request's identity on the configuration's path alone and so
// runs a request from a client that read the same file with other lines.
TEST(SubcommandTable, ARequestForOtherLinesOfTheSameFileIsRefused) {
  HostConfig config;
  config.path = "/nowhere/host.json";
  config.lines.emplace_back();
  config.lines[0].device = "/dev/ttyS1";
  Host host(config);
  RequestHandler handler(host);
  const std::string request = R"({"command": "status", "host": {"config": "/nowhere/host.json", )";
  const Json::Value other = ParseAnswer(handler(request + R"("lines": ["/dev/ttyUSB7"]}})"));
  EXPECT_EQ(other["exit_code"].asInt(), 2) << other.toStyledString();
  EXPECT_EQ(other["error"].asString(),
            "this host runs configuration /nowhere/host.json (lines /dev/ttyS1), not "
            "configuration /nowhere/host.json (lines /dev/ttyUSB7): nothing done");
  const Json::Value mine = ParseAnswer(handler(request + R"("lines": ["/dev/ttyS1"]}})"));
  EXPECT_EQ(mine["exit_code"].asInt(), 0) << mine.toStyledString();
}

// An option some subcommands take is refused elsewhere naming every subcommand that takes it.
TEST(SubcommandTable, AnOptionOutOfPlaceNamesTheSubcommandsThatTakeIt) {
  for (const auto& [args, message] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"status", "--update-config", "site.json"},
            "--update-config is an option of readdress and rebaud, not of status"},
           {{"history", "--output", "x.svg", "site.json"},
            "--output is an option of plot, not of history"},
           {{"scan", "--data-id", "3", "/dev/ttyUSB0"},
            "--data-id is an option of history and plot, not of scan"},
           {{"history", "--links", "--reports", "site.json"},
            "--links and --reports list different tables"}}) {
    try {
      ParseCommandLine(args);
      ADD_FAILURE() << "accepted " << ::testing::PrintToString(args);
    } catch (const UsageError& error) {
      EXPECT_EQ(error.what(), message);
    }
  }
}

// A device command that reads its own words gets CONFIG and DATA_ID taken for it, the words
// after them as written, and a missing or bad DATA_ID refused before its builder runs.
TEST(SubcommandTable, DeviceWordsLeaveTheRestToTheRequestBuilder) {
  CommandLine line;
  line.command = "probe";
  TakeDeviceWords(line, {"site.json", "12", "80", "-5"});
  EXPECT_EQ(line.configPath, "site.json");
  EXPECT_EQ(line.dataId, 12u);
  EXPECT_EQ(line.deviceWords, (std::vector<std::string>{"80", "-5"}));
  EXPECT_THROW(TakeDeviceWords(line, {"site.json"}), UsageError);
  EXPECT_THROW(TakeDeviceWords(line, {"site.json", "x"}), UsageError);
}

}  // namespace

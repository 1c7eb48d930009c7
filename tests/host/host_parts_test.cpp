// SPDX-License-Identifier: Apache-2.0
// The reference host's pieces on their own: configuration checks, record decoding, history
// export, the command line and the console's lines.
#include <gtest/gtest.h>
#include <signal.h>

#include <ctime>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <set>

#include "base/Signals.h"
#include "cli/CommandLine.h"
#include "cli/Usage.h"
#include "config/ConfigChanges.h"
#include "config/HostConfig.h"
#include "do3008ra/sensor_facts.h"
#include "events/Console.h"
#include "events/EventFormat.h"
#include "events/RecordView.h"
#include "store/HistoryExport.h"
#include "support/ScratchDirectory.h"

namespace {

HostConfig Parse(const std::string& text, const ConfigOverrides& overrides = {}) {
  return ParseHostConfig(text, "/etc/devhost/site.json", overrides);
}

std::string OneDevice(const std::string& lineMembers, const std::string& deviceMembers = "") {
  return R"({"lines": [{"device": "/dev/ttyS1")" + lineMembers +
         R"(, "devices": [{"plugin": "do3008ra.so", "dataId": 12)" + deviceMembers + "}]}]}";
}

std::string ErrorOf(const std::string& text, const ConfigOverrides& overrides = {}) {
  try {
    Parse(text, overrides);
  } catch (const ConfigError& error) {
    return error.what();
  }
  return "accepted";
}

TEST(HostConfiguration, DefaultsAndPathsAnchoredAtTheConfigurationFolder) {
  const HostConfig config = Parse(OneDevice(""));
  ASSERT_EQ(config.lines.size(), 1u);
  const LineConfig& line = config.lines[0];
  EXPECT_EQ(line.baudRate, 9600);
  EXPECT_EQ(line.parity, 'N');
  EXPECT_EQ(line.dataBits, 8);
  EXPECT_EQ(line.stopBits, 1);
  EXPECT_EQ(line.responseTimeoutMs, 500);
  EXPECT_EQ(line.pollIntervalMs, 1000);
  EXPECT_EQ(line.devices[0].plugin, "/etc/devhost/do3008ra.so");
  EXPECT_FALSE(line.devices[0].slaveAddress.has_value());
  EXPECT_TRUE(line.devices[0].settings.isObject());
  EXPECT_FALSE(line.rs485.has_value());
  EXPECT_EQ(line.linkLostAfter, 3);
  EXPECT_EQ(config.database, "/etc/devhost/site.db");
  EXPECT_EQ(config.controlSocket, "/etc/devhost/site.sock");
  EXPECT_EQ(config.workDir, "/etc/devhost");
}

TEST(HostConfiguration, MembersAndOverridesAreTaken) {
  ConfigOverrides overrides;
  overrides.pluginDir = "/opt/plugins";
  overrides.ports[0] = "/dev/pts/7";
  const HostConfig config = Parse(
      R"({"database": "../data/h.db", "workDir": "run", "controlSocket": "run/h.sock",
      "lines": [{"device": "/dev/ttyS1",
      "baudRate": 19200, "parity": "even", "dataBits": 7, "stopBits": 2,
      "responseTimeoutMs": 250, "pollIntervalMs": 60, "linkLostAfter": 1000,
      "rs485": {"rtsOnSend": "low", "rtsDelayUs": 1000000},
      "devices": [{"plugin": "lib/do3008ra.so", "dataId": 4294967295, "slaveAddress": 247,
                   "settings": {"appSetting": {"b_mode": 5}},
                   "reports": {"0100100101": {"absThreshold": 0.5, "periodMinutes": 2}}}]}]})",
      overrides);
  const LineConfig& line = config.lines[0];
  EXPECT_EQ(config.database, "/etc/data/h.db");
  EXPECT_EQ(config.workDir, "/etc/devhost/run");
  EXPECT_EQ(config.controlSocket, "/etc/devhost/run/h.sock");
  EXPECT_EQ(line.device, "/dev/pts/7");
  EXPECT_EQ(line.baudRate, 19200);
  EXPECT_EQ(line.parity, 'E');
  EXPECT_EQ(line.dataBits, 7);
  EXPECT_EQ(line.stopBits, 2);
  EXPECT_EQ(line.responseTimeoutMs, 250);
  EXPECT_EQ(line.pollIntervalMs, 60);
  EXPECT_EQ(line.linkLostAfter, 1000);
  ASSERT_TRUE(line.rs485.has_value());
  EXPECT_FALSE(line.rs485->rtsHighOnSend);
  EXPECT_EQ(line.rs485->rtsDelayUs, 1000000);
  const DeviceConfig& device = line.devices[0];
  EXPECT_EQ(device.plugin, "/opt/plugins/lib/do3008ra.so");
  EXPECT_EQ(device.dataId, 4294967295u);
  EXPECT_EQ(device.slaveAddress, 247);
  EXPECT_EQ(device.settings["appSetting"]["b_mode"].asInt(), 5);
  const ReportConfig& report = device.reports.at("0100100101");
  EXPECT_FLOAT_EQ(report.absThreshold.value(), 0.5f);
  EXPECT_FALSE(report.percentThreshold.has_value());
  EXPECT_FLOAT_EQ(report.periodMinutes.value(), 2.0f);
  EXPECT_EQ(config.FindDevice(4294967295u), &device);
  EXPECT_EQ(config.FindDevice(12), nullptr);
}

// "do3008ra.so" of a configuration in /etc is found where the packages put it, for the unit and
// for commands run with the service stopped; one beside the configuration, or --plugin-dir, wins.
TEST(HostConfiguration, ARelativePluginNotBesideTheConfigurationIsTakenFromTheInstalledFolder) {
  ScratchDirectory dir;
  ConfigOverrides overrides;
  overrides.installedPluginDir = dir.MakeDirectory("installed");
  const std::string installed = dir.Write("installed/do3008ra.so", "");
  const auto pluginOf = [&](const std::string& folder) {
    const HostConfig config =
        ParseHostConfig(OneDevice(""), dir.Path(folder) + "/a.json", overrides);
    return config.lines[0].devices[0].plugin;
  };
  EXPECT_EQ(pluginOf("etc"), installed);
  const std::string beside = dir.Write("etc/do3008ra.so", "");
  EXPECT_EQ(pluginOf("etc"), beside);
  // Found nowhere: the configuration's place is the one the loading error names.
  std::remove(installed.c_str());
  EXPECT_EQ(pluginOf("elsewhere"), dir.Path("elsewhere/do3008ra.so"));
  overrides.pluginDir = dir.Path("given");
  EXPECT_EQ(pluginOf("elsewhere"), dir.Path("given/do3008ra.so"));
}

// The socket's default follows the database, also when --db moves it; a socket the
// configuration names stays where it is.
TEST(HostConfiguration, TheControlSocketFollowsTheDatabaseUnlessNamed) {
  ConfigOverrides overrides;
  overrides.database = "/var/lib/devhost/devhost.db";
  EXPECT_EQ(Parse(OneDevice(""), overrides).controlSocket, "/var/lib/devhost/devhost.sock");
  const std::string named =
      R"({"controlSocket": "/run/devhost/control",)" + OneDevice("").substr(1);
  EXPECT_EQ(Parse(named, overrides).controlSocket, "/run/devhost/control");
  EXPECT_EQ(Parse(R"({"database": "data/x.db",)" + OneDevice("").substr(1)).controlSocket,
            "/etc/devhost/data/x.sock");
}

// A NUL in a path would cut it where the system reads it ("x\u0000evil.db" wrote to "x"): every
// path member refuses control characters (DEL too), and says which byte.
TEST(HostConfiguration, PathsWithControlCharactersAreRefused) {
  const std::string device = OneDevice("");
  for (const std::string& bad :
       {R"({"database": "x\u0000evil.db",)" + device.substr(1),
        R"({"controlSocket": "s\nock",)" + device.substr(1),
        R"({"database": "x\u007fdb",)" + device.substr(1),
        std::string(R"({"lines": [{"device": "/tmp/s\u0000junk", "devices": [{"plugin": "p.so",
            "dataId": 1}]}]})")}) {
    try {
      Parse(bad);
      ADD_FAILURE() << "taken: " << bad;
    } catch (const ConfigError& error) {
      EXPECT_NE(std::string(error.what()).find("must not hold a control character (\\u00"),
                std::string::npos)
          << error.what();
    }
  }
}

// Configurations from other tools quote their numbers: decimal text counts as the number.
TEST(HostConfiguration, NumbersWrittenAsDecimalTextAreTakenAsNumbers) {
  const HostConfig config = Parse(
      R"({"lines": [{"device": "/dev/ttyS1", "baudRate": "19200", "dataBits": "7",
      "stopBits": "2", "responseTimeoutMs": "300", "pollIntervalMs": "+250",
      "linkLostAfter": "5",
      "devices": [{"plugin": "p.so", "dataId": "4294967295", "slaveAddress": "17",
                   "reports": {"s": {"absThreshold": "0.5", "percentThreshold": "5",
                                     "periodMinutes": "+2.25"}}}]}]})");
  const LineConfig& line = config.lines[0];
  EXPECT_EQ(line.baudRate, 19200);
  EXPECT_EQ(line.dataBits, 7);
  EXPECT_EQ(line.stopBits, 2);
  EXPECT_EQ(line.responseTimeoutMs, 300);
  EXPECT_EQ(line.pollIntervalMs, 250);
  EXPECT_EQ(line.linkLostAfter, 5);
  EXPECT_EQ(line.devices[0].dataId, 4294967295u);
  EXPECT_EQ(line.devices[0].slaveAddress, 17);
  const ReportConfig& report = line.devices[0].reports.at("s");
  EXPECT_FLOAT_EQ(report.absThreshold.value(), 0.5f);
  EXPECT_FLOAT_EQ(report.percentThreshold.value(), 5.0f);
  EXPECT_FLOAT_EQ(report.periodMinutes.value(), 2.25f);
}

TEST(HostConfiguration, TextThatIsNoPlainDecimalIsRefusedAsAString) {
  EXPECT_EQ(ErrorOf(OneDevice(R"(, "baudRate": "9600 baud")")),
            "configuration /etc/devhost/site.json: lines[0].baudRate: must be one of 1200, 2400, "
            "4800, 9600, 19200, 38400, 57600, 115200, as a number, not a string \"9600 baud\"");
  EXPECT_EQ(ErrorOf(OneDevice("", R"(, "reports": {"s": {"absThreshold": "1 K"}})")),
            "configuration /etc/devhost/site.json: lines[0].devices[0].reports.s.absThreshold: "
            "must be a number not below 0, as a number, not a string \"1 K\"");
  for (const char* text : {"", "0x10", " 12", "12 ", "1e3", "-", "12.", "1,5", "\\n7"}) {
    const std::string quoted = std::string("\"") + text + "\"";
    for (const std::string& member :
         {std::string(R"(, "dataBits": )"), std::string(R"(, "linkLostAfter": )")}) {
      const std::string error = ErrorOf(OneDevice(member + quoted));
      EXPECT_NE(error.find("must be a whole number from"), std::string::npos) << error;
      EXPECT_NE(error.find(", as a number, not a string " + quoted), std::string::npos) << error;
    }
    const std::string error = ErrorOf(OneDevice("", R"(, "slaveAddress": )" + quoted));
    EXPECT_NE(error.find("slaveAddress: must be a whole number from 1 to 247, as a number, not "
                         "a string " +
                         quoted),
              std::string::npos)
        << error;
  }
  // Decimal text out of range is out of range, not a wrong string; fractions stay refused.
  EXPECT_EQ(ErrorOf(OneDevice("", R"(, "slaveAddress": "248")")),
            "configuration /etc/devhost/site.json: lines[0].devices[0].slaveAddress: must be a "
            "whole number from 1 to 247");
  EXPECT_NE(ErrorOf(OneDevice(R"(, "pollIntervalMs": "99999999999999999999999")"))
                .find("pollIntervalMs: must be a whole number from 0 to 86400000"),
            std::string::npos);
  EXPECT_NE(ErrorOf(OneDevice(R"(, "dataBits": "7.5")")).find("not a string \"7.5\""),
            std::string::npos);
  EXPECT_NE(ErrorOf(OneDevice("", R"(, "reports": {"s": {"periodMinutes": "-1"}})"))
                .find("periodMinutes: must be a number not below 0"),
            std::string::npos);
}

TEST(HostConfiguration, EveryWrongValueIsNamedWithItsPath) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"not json", "not valid JSON: Line 1, Column 1"},
      {"[]", "the configuration: must be an object"},
      {R"({"lines": []})", "lines: must list at least one line"},
      {R"({"lines": [3]})", "lines[0]: must be an object"},
      {R"({"lines": [{"devices": [{}]}]})", "lines[0].device: is missing"},
      {OneDevice(R"(, "baudRate": 9601)"), "lines[0].baudRate: must be one of"},
      {OneDevice(R"(, "baudRate": 9600.5)"), "lines[0].baudRate: must be one of"},
      {OneDevice(R"(, "baudRate": true)"), "lines[0].baudRate: must be one of"},
      {OneDevice(R"(, "parity": "mark")"), "lines[0].parity: must be \"none\""},
      {OneDevice(R"(, "dataBits": 9)"), "lines[0].dataBits: must be a whole number from 5 to 8"},
      {OneDevice(R"(, "stopBits": 0)"), "lines[0].stopBits"},
      {OneDevice(R"(, "responseTimeoutMs": 5)"), "lines[0].responseTimeoutMs"},
      {OneDevice(R"(, "pollIntervalMs": -1)"), "lines[0].pollIntervalMs"},
      {OneDevice(R"(, "linkLostAfter": 0)"),
       "lines[0].linkLostAfter: must be a whole number from 1 to 1000"},
      {OneDevice(R"(, "linkLostAfter": 1001)"), "lines[0].linkLostAfter"},
      {OneDevice(R"(, "rs485": true)"), "lines[0].rs485: must be an object"},
      {OneDevice(R"(, "rs485": {"rtsOnSend": "up"})"),
       "lines[0].rs485.rtsOnSend: must be \"high\" or \"low\""},
      {OneDevice(R"(, "rs485": {"rtsDelayUs": -1})"),
       "lines[0].rs485.rtsDelayUs: must be a whole number from 0 to 1000000"},
      {R"({"controlSocket": "", )" + OneDevice("").substr(1),
       "controlSocket: must be a non-empty string"},
      {R"({"controlSocket": "/run/)" + std::string(110, 's') + R"(", )" + OneDevice("").substr(1),
       "controlSocket: /run/sss"},
      {OneDevice("", R"(, "slaveAddress": 0)"), "lines[0].devices[0].slaveAddress"},
      {R"({"lines": [{"device": "/dev/a", "devices": [{"plugin": "p.so", "dataId": -1}]}]})",
       "lines[0].devices[0].dataId: must be a whole number from 0 to 4294967295"},
      {OneDevice("", R"(, "dataId": 13)"), "Duplicate key: 'dataId'"},
      {OneDevice("", R"(, "settings": "x")"), "lines[0].devices[0].settings: must be an object"},
      {OneDevice("", R"(, "reports": {"s": {"absThreshold": [1]}})"),
       "lines[0].devices[0].reports.s.absThreshold: must be a number not below 0"},
      {R"({"lines": [{"device": "/dev/a", "devices": [{"plugin": "", "dataId": 1}]}]})",
       "lines[0].devices[0].plugin: must be a non-empty string"},
      {R"({"lines": [{"device": "/dev/a", "devices": [{"plugin": "p.so", "dataId": 1}]},
                     {"device": "/dev/a", "devices": [{"plugin": "p.so", "dataId": 2}]}]})",
       "lines[1].device: /dev/a is used by two lines"},
      {R"({"lines": [{"device": "/dev/a", "devices": [{"plugin": "p.so", "dataId": 1},
                                                      {"plugin": "p.so", "dataId": 1}]}]})",
       "data id 1 is configured twice"},
  };
  for (const auto& [text, expected] : cases) {
    const std::string error = ErrorOf(text);
    EXPECT_EQ(error.rfind("configuration /etc/devhost/site.json: ", 0), 0u) << error;
    EXPECT_NE(error.find(expected), std::string::npos) << text << "\n -> " << error;
  }
  ConfigOverrides overrides;
  overrides.ports[1] = "/dev/pts/1";
  EXPECT_NE(ErrorOf(OneDevice(""), overrides).find("--port: there is no line 1"),
            std::string::npos);
  // A default socket path too long to listen on is named, with what to do.
  ConfigOverrides deep;
  deep.database = "/var/" + std::string(100, 'd') + "/h.db";
  EXPECT_NE(ErrorOf(OneDevice(""), deep).find("controlSocket: the default /var/ddd"),
            std::string::npos);
}

std::vector<unsigned char> SampleRecord() {
  std::vector<unsigned char> record(do3008ra::kRecordLength, 0);
  auto put = [&record](std::size_t offset, uint16_t word) {
    record[offset] = word & 0xFF;
    record[offset + 1] = word >> 8;
  };
  put(0, 0x5678);
  put(2, 0x1234);
  put(12, 456);     // input humidity
  put(14, 0xFFFF);  // input temperature, top bit set
  put(16, 999);     // input register 2: not shown
  put(18, 10132);   // input pressure
  put(26, 15);
  put(28, 25);
  put(30, 35);
  put(36, 7);
  put(38, 6);
  put(40, 2026);
  record[42] = 12;
  record[43] = 6;
  record[44] = 9;
  record[45] = 5;
  record[46] = 3;
  return record;
}

// The host reads a stored record with the device's own register rule: temperature and
// calibrations signed (0xFFFF is -0.1), humidity and pressure unsigned; in decimal tenths.
TEST(RecordDecoding, InputCopiesAsTheStatusDocumentReadsThemAndTheRecordsOwnStamp) {
  const auto record = SampleRecord();
  const auto values = DecodeRecord(record.data(), record.size());
  ASSERT_TRUE(values.has_value());
  EXPECT_EQ(values->Value("humidity"), 45.6);
  EXPECT_EQ(values->Value("temperature"), -0.1);
  EXPECT_EQ(values->Value("pressure"), 1013.2);
  EXPECT_EQ(values->Value("temperature_calibration"), 1.5);
  EXPECT_EQ(values->Value("humidity_calibration"), 2.5);
  EXPECT_EQ(values->Value("pressure_calibration"), 3.5);
  EXPECT_EQ(values->Value("address"), 7);
  EXPECT_EQ(values->Value("baud_code"), 6);
  EXPECT_EQ(values->recordTime, "2026-12-06T09:05:03");
  EXPECT_FALSE(DecodeRecord(record.data(), 46).has_value());
  EXPECT_FALSE(DecodeRecord(nullptr, do3008ra::kRecordLength).has_value());
}

TEST(HistoryExport, CsvRowsCarryDecodedValuesAndTheRawRecord) {
  HistoryRow row{7, 12, "2026-12-06 09:05:03", SampleRecord()};
  HistoryRow foreign{8, 13, "2026-12-06 09:05:04", {0xAB, 0x01}};
  const std::string csv = HistoryCsv({row, foreign});
  const auto firstBreak = csv.find('\n');
  const auto secondBreak = csv.find('\n', firstBreak + 1);
  const std::string first = csv.substr(firstBreak + 1, secondBreak - firstBreak - 1);
  // The stored instant with its offset (this machine's zone is UTC); the record's own stamp as
  // the device wrote it.
  EXPECT_EQ(first.rfind("7,12,2026-12-06T09:05:03+00:00,-0.1,45.6,1013.2,1.5,2.5,3.5,7,6,"
                        "2026-12-06T09:05:03,78563412",
                        0),
            0u)
      << first;
  EXPECT_NE(csv.find("8,13,2026-12-06T09:05:04+00:00,,,,,,,,,,ab01\n"), std::string::npos) << csv;
  EXPECT_NE(HistoryTable({row, foreign}).find("2 record(s)"), std::string::npos);
  EXPECT_NE(HistoryTable({foreign}).find("(2 bytes)"), std::string::npos);
}

TEST(HostCommandLine, CommandsArgumentsAndOptions) {
  const CommandLine plain = ParseCommandLine({"site.json"});
  EXPECT_EQ(plain.command, "run");
  EXPECT_FALSE(plain.commandNamed);
  EXPECT_EQ(plain.configPath, "site.json");
  EXPECT_EQ(plain.cycles, 0);
  EXPECT_EQ(ParseCommandLine({"--cycles", "3", "site.json"}).cycles, 3);

  const CommandLine write = ParseCommandLine(
      {"--json", "write", "site.json", "12", "80", "11", "65535", "--port", "1=/dev/pts/4"});
  EXPECT_EQ(write.command, "write");
  EXPECT_TRUE(write.json);
  EXPECT_EQ(write.dataId, 12u);
  EXPECT_EQ(write.address, 80);
  EXPECT_EQ(write.values, (std::vector<uint16_t>{11, 65535}));
  EXPECT_EQ(write.overrides.ports.at(1), "/dev/pts/4");

  // Negative values are two's complement, not options; "--" ends the options.
  EXPECT_EQ(ParseCommandLine({"write", "site.json", "12", "80", "-5", "-32768"}).values,
            (std::vector<uint16_t>{65531, 32768}));
  EXPECT_EQ(ParseCommandLine({"write", "--json", "--", "site.json", "12", "80", "-5"}).values,
            std::vector<uint16_t>{65531});
  EXPECT_EQ(ParseCommandLine({"--db", "h.db", "write", "site.json", "12", "80", "-5"}).values,
            std::vector<uint16_t>{65531});

  const CommandLine alarms = ParseCommandLine({"alarms", "--json", "site.json"});
  EXPECT_EQ(alarms.command, "alarms");
  EXPECT_EQ(alarms.configPath, "site.json");
  EXPECT_TRUE(alarms.json);

  const CommandLine history =
      ParseCommandLine({"history", "--db", "h.db", "--limit", "0", "--data-id", "12"});
  EXPECT_EQ(history.configPath, "");
  EXPECT_EQ(history.limit, 0);
  EXPECT_EQ(history.historyDataId, 12u);
}

// What went wrong, and the subcommand it happened in when the line named one: the hint under
// the message points at that subcommand's usage.
TEST(HostCommandLine, MistakesNameTheArgumentAndTheSubcommand) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
    std::string command;
  };
  const std::vector<Case> cases = {
      {{}, "the configuration file is missing", ""},
      {{"write", "site.json", "12", "80"}, "write needs DATA_ID ADDRESS VALUE", "write"},
      {{"--json", "write", "site.json", "12", "80", "65536"}, "value 65536 does not fit", "write"},
      {{"write", "site.json", "12", "80", "-32769"}, "value -32769 does not fit", "write"},
      {{"write", "site.json", "12", "80", "-5x"}, "expected a whole number, got '-5x'", "write"},
      {{"run", "site.json", "extra"}, "unexpected argument 'extra'", "run"},
      {{"site.json", "extra"}, "unexpected argument 'extra'", ""},
      {{"alarms", "site.json", "12"}, "unexpected argument '12'", "alarms"},
      {{"alarms"}, "the configuration file is missing", "alarms"},
      {{"--cycles", "0", "site.json"}, "--cycles: expected a whole number from 1", ""},
      {{"run", "site.json", "--cycles"}, "--cycles: a value is missing", "run"},
      {{"--what", "status", "site.json"}, "unknown option '--what'", "status"},
      {{"history"}, "the configuration file is missing", "history"},
      {{"--db", "write", "status"}, "the configuration file is missing", "status"},
      {{"status", "site.json", "--cycles", "2"},
       "--cycles is an option of run, not of status",
       "status"},
      {{"site.json", "--csv", "-"}, "--csv is an option of history, not of run", ""},
      {{"stauts", "site.json"}, "unknown subcommand 'stauts'", ""},
      {{"help", "stauts"}, "unknown subcommand 'stauts'", ""},
  };
  for (const Case& wrong : cases) {
    try {
      ParseCommandLine(wrong.args);
      ADD_FAILURE() << "accepted " << ::testing::PrintToString(wrong.args);
    } catch (const UsageError& error) {
      EXPECT_NE(std::string(error.what()).find(wrong.message), std::string::npos)
          << ::testing::PrintToString(wrong.args) << " -> " << error.what();
    }
    EXPECT_EQ(NamedSubcommand(wrong.args), wrong.command) << ::testing::PrintToString(wrong.args);
  }
}

// --help, -h and "help SUBCOMMAND" ask for a usage whatever else the line holds; --version too.
TEST(HostCommandLine, HelpAndVersionAnswerWhateverElseTheLineHolds) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"write", "--help"},
           {"help", "write"},
           {"write", "site.json", "12", "-h"},
           {"--plugin-dir", "p", "write", "--frobnicate", "--help"}}) {
    const CommandLine line = ParseCommandLine(args);
    EXPECT_TRUE(line.help) << ::testing::PrintToString(args);
    EXPECT_TRUE(line.commandNamed) << ::testing::PrintToString(args);
    EXPECT_EQ(line.command, "write") << ::testing::PrintToString(args);
  }
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"--help"}, {"help"}, {"-h", "site.json"}}) {
    const CommandLine line = ParseCommandLine(args);
    EXPECT_TRUE(line.help) << ::testing::PrintToString(args);
    EXPECT_FALSE(line.commandNamed) << ::testing::PrintToString(args);
  }
  // The value of an option is no flag.
  EXPECT_FALSE(ParseCommandLine({"--db", "--help", "site.json"}).help);
  EXPECT_TRUE(ParseCommandLine({"--version"}).version);
  EXPECT_TRUE(ParseCommandLine({"status", "--cycles", "x", "--version"}).version);
}

bool IsFlag(const std::string& option) {
  return option == "--json" || option == "--alarms" || option == "--links" ||
         option == "--reports" || option == "--update-config" || option == "--force" ||
         option == "--first" || option == "--trust-clock" || option == "--future";
}

// A value each option takes; most take a number.
std::string SampleValue(const std::string& option) {
  if (option == "--size") return "800x600";
  if (option == "--baud") return "9600,19200";
  if (option == "--parity") return "none,even";
  if (option == "--timeout") return "100";
  if (option == "--every") return "1h";
  if (option == "--log-level") return "notice";
  return "7";
}

// The words after the options that each subcommand takes.
std::vector<std::string> SampleWords(const std::string& command) {
  if (command == "write") return {"site.json", "12", "80", "1"};
  if (command == "readdress") return {"site.json", "12", "9"};
  if (command == "rebaud") return {"site.json", "12", "19200"};
  if (command == "scan") return {"/dev/ttyUSB0"};
  return {"site.json"};
}

// Each subcommand's usage documents options the parser takes for it, and nothing is left out
// of the overview.
TEST(HostCommandLine, EachUsageListsTheOptionsItsSubcommandTakes) {
  const std::string overview = OverviewUsage();
  for (const std::string& command : Subcommands()) {
    const std::string usage = SubcommandUsage(command);
    ASSERT_FALSE(usage.empty()) << command;
    const std::string synopsis = usage.substr(0, usage.find('\n'));
    EXPECT_EQ(synopsis.rfind("usage: devhost ", 0), 0u) << usage;
    EXPECT_NE(synopsis.find(command), std::string::npos) << usage;
    EXPECT_NE(overview.find("\n  " + command + " "), std::string::npos) << command;
    EXPECT_EQ(UsageHint(command), "see devhost " + command + " --help");
    const std::string options = usage.substr(usage.find("\noptions:\n"));
    int listed = 0;
    for (std::size_t at = options.find("\n  --"); at != std::string::npos;
         at = options.find("\n  --", at + 1)) {
      const std::string option = options.substr(at + 3, options.find(' ', at + 3) - at - 3);
      std::vector<std::string> args{command, option};
      if (!IsFlag(option)) args.push_back(SampleValue(option));
      args.push_back("--");
      const auto words = SampleWords(command);
      args.insert(args.end(), words.begin(), words.end());
      EXPECT_NO_THROW(ParseCommandLine(args)) << ::testing::PrintToString(args);
      ++listed;
    }
    EXPECT_GE(listed, 2) << usage;
  }
  EXPECT_TRUE(SubcommandUsage("help").empty());
  EXPECT_EQ(UsageHint(""), "see devhost --help");
  for (const char* status :
       {"\n  0  done", "\n  1  write not confirmed", "\n  2  bad command line or configuration",
        "\n  3  plug-in", "\n  4  serial device", "\n  5  database", "\n  6  no answer",
        "\n  7  write refused"}) {
    EXPECT_NE(overview.find(status), std::string::npos) << status;
  }
  EXPECT_NE(overview.find("JSON Lines"), std::string::npos);
  EXPECT_EQ(VersionLine(), "devhost " PROJECT_VERSION_TEXT);
}

// Everything a console printed, through a temporary file.
class ConsoleOutput {
 public:
  ConsoleOutput() : file_(std::tmpfile()) {}
  ~ConsoleOutput() { std::fclose(file_); }
  ConsoleOutput(const ConsoleOutput&) = delete;
  ConsoleOutput& operator=(const ConsoleOutput&) = delete;

  std::FILE* File() const { return file_; }
  std::string Text() const {
    std::rewind(file_);
    std::string text;
    for (int c = std::fgetc(file_); c != EOF; c = std::fgetc(file_)) text += static_cast<char>(c);
    return text;
  }

 private:
  std::FILE* file_;
};

std::string PrintfOneDecimal(double value) {
  char text[400];
  std::snprintf(text, sizeof text, "%.1f", value);
  return text;
}

TEST(EventLines, ValuesShowOneDecimalExactlyAsPrintfRoundsThem) {
  // Halves that binary cannot hold, exact halves (rounded to even), signs, and no number.
  const double values[] = {23.4,    0.05,  0.15,   0.25,  0.35,    -0.04, -0.05, 1013.0,
                           -273.15, 1e300, 2.5e-7, 99.95, 6553.55, -0.0,  1e-320};
  for (const double value : values) {
    EXPECT_EQ(EventLine(ReportEvent{12, "T01", static_cast<float>(value)}),
              "report   12    T01 " + PrintfOneDecimal(static_cast<float>(value)))
        << value;
  }
  EXPECT_EQ(EventLine(ReportEvent{12, "T01", std::numeric_limits<float>::quiet_NaN()}),
            "report   12    T01 nan");
  EXPECT_EQ(EventLine(ReportEvent{12, "T01", -std::numeric_limits<float>::infinity()}),
            "report   12    T01 -inf");
}

// The console starts each line with the time of day; with --json each event is one object with
// an ISO 8601 time, and events only the store keeps print nothing.
TEST(ConsoleLines, ACycleIsOneTimedTextLineOrOneJsonLine) {
  // Temperature 23.4, humidity 45.6, pressure 1013.0, stamped 2026-12-06 09:05:03.
  auto record = SampleRecord();
  record[12] = 456 & 0xFF;
  record[13] = 456 >> 8;
  record[14] = 234;
  record[15] = 0;
  record[18] = 10130 & 0xFF;
  record[19] = 10130 >> 8;
  const auto values = DecodeRecord(record.data(), record.size());
  std::tm local{};
  local.tm_year = 2026 - 1900;
  local.tm_mon = 11;
  local.tm_mday = 8;
  local.tm_hour = 1;
  local.tm_min = 49;
  local.tm_sec = 28;
  local.tm_isdst = -1;
  const HostEvent cycle{std::mktime(&local), CycleEvent{12, {}, values, 2}};

  ConsoleOutput text;
  Console(text.File(), false).Take(cycle);
  EXPECT_EQ(text.Text(),
            "01:49:28 cycle    12    temperature 23.4  humidity 45.6  pressure 1013.0  alarms 2\n");

  ConsoleOutput json;
  Console console(json.File(), true);
  console.Take(cycle);
  console.Take(HostEvent{cycle.time, ThresholdEvent{12, "A", "B", 1.0f, 1}});
  EXPECT_EQ(json.Text(),
            R"({"alarms_active":2,"data_id":12,"event":"cycle","humidity":45.6,)"
            R"("pressure":1013.0,"record_time":"2026-12-06T09:05:03","temperature":23.4,)"
            R"("time":"2026-12-08T01:49:28"})"
            "\n");
}

// A status without an answer says so and labels the stored document with the time it was
// stored, not the time it was loaded back.
TEST(EventLines, AStatusWithoutAnswerNamesTheFailureAndWhenTheRecordWasStored) {
  StatusEvent status{12, false, "read input registers 0/4: Connection timed out",
                     "2026-12-08 01:49:28", std::string(R"({"温度":-5.0})")};
  EXPECT_EQ(EventLine(status),
            "status   12    no answer from the sensor: read input registers 0/4: Connection "
            "timed out\n"
            "status   12    last stored record, stored 2026-12-08 01:49:28: {\"温度\":-5.0}");
  const auto json = EventObject(status);
  ASSERT_TRUE(json.has_value());
  EXPECT_FALSE((*json)["answered"].asBool());
  EXPECT_EQ((*json)["stored_at"].asString(), "2026-12-08T01:49:28");
  EXPECT_EQ((*json)["document"]["温度"].asDouble(), -5.0);
}

// Faults caught: a device's changed rules taken as needing a restart, or applied while the device
// itself moved; a line's speed or an added device taken as something a running host applies; a
// sink's block (added, changed) not recognised as one.
TEST(ConfigChanges, RulesAndSinksAreAppliedWhileEverythingElseWaitsForARestart) {
  const auto document = [](const std::string& root, int baud, int limit, const std::string& more) {
    return ParseConfigJson("{" + root + R"("lines": [{"baudRate": )" + std::to_string(baud) +
                           R"(, "devices": [{"dataId": 12, "settings": {"UpValue": )" +
                           std::to_string(limit) + "}}" + more + "]}]}");
  };
  const std::set<std::string> sinks{"mqtt", "prometheus"};
  const std::string second = R"(, {"dataId": 13})";
  const Json::Value before = document(R"("mqtt": {"host": "h"}, )", 9600, 28, second);
  const ConfigChanges applied = CompareConfigurations(
      before, document(R"("mqtt": {"host": "g"}, "prometheus": {}, )", 9600, 20, second), sinks);
  EXPECT_EQ(applied.sinks, (std::vector<std::string>{"mqtt", "prometheus"}));
  EXPECT_EQ(applied.devices, (std::vector<std::pair<std::size_t, std::size_t>>{{0, 0}}));
  EXPECT_TRUE(applied.restart.empty());
  const ConfigChanges restart = CompareConfigurations(
      before,
      document(R"("database": "b", "mqtt": {"host": "h"}, )", 19200, 28, R"(, {"dataId": 14})"),
      sinks);
  EXPECT_TRUE(restart.sinks.empty() && restart.devices.empty());
  EXPECT_EQ(restart.restart, (std::vector<std::string>{"database", "lines[0].baudRate",
                                                       "lines[0].devices[1].dataId"}));
  const ConfigChanges added = CompareConfigurations(
      before, document(R"("mqtt": {"host": "h"}, )", 9600, 20, second + second), sinks);
  EXPECT_EQ(added.restart,
            (std::vector<std::string>{"lines[0].devices (a device added or removed)"}));
  EXPECT_TRUE(added.devices.empty() && CompareConfigurations(before, before, sinks).Empty());
}

// Faults caught: a signal whose default ends the process without a word (SIGPWR, SIGXCPU, a
// real-time one...) left at its default, so the host dies without its stop line and summary.
TEST(Signals, EverySignalThatWouldEndTheHostSilentlyIsHandled) {
  std::vector<struct sigaction> saved(SIGRTMAX + 1);
  for (int signal = 1; signal <= SIGRTMAX; ++signal) sigaction(signal, nullptr, &saved[signal]);
  InstallStopHandlers();
  std::vector<int> silent = {SIGHUP, SIGUSR1, SIGPWR, SIGVTALRM, SIGIO, SIGPROF, SIGXCPU};
  for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal) silent.push_back(signal);
  for (const int signal : silent) {
    struct sigaction now {};
    sigaction(signal, nullptr, &now);
    EXPECT_NE(now.sa_handler, SIG_DFL) << strsignal(signal);
  }
  for (int signal = 1; signal <= SIGRTMAX; ++signal) sigaction(signal, &saved[signal], nullptr);
}

}  // namespace

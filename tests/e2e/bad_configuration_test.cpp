// Bad input to the host: each case ends with one clear message, its own exit status, and no
// database written.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "Bench.h"

namespace {

class BadConfiguration : public ::testing::Test {
 protected:
  // Runs the host on `config` and checks the outcome: exit status, a message on one line of
  // standard error, and no database file.
  void ExpectRefused(const std::string& config, int exitCode, const std::string& message,
                     const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args{"run", "--cycles", "1", config};
    args.insert(args.end(), extra.begin(), extra.end());
    const auto run = bench.Host(args);
    EXPECT_EQ(run.exitCode, exitCode) << run.out << run.err;
    EXPECT_NE(run.err.find(message), std::string::npos) << run.err;
    EXPECT_EQ(run.err.rfind("devhost: ", 0), 0u) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_FALSE(std::filesystem::exists(bench.Database()));
  }
  std::string Saved(const std::string& name, const std::string& text) {
    bench.dir.Write(name, text);
    return bench.dir.Path(name);
  }
  std::string WithLine(const std::string& lineMembers, const std::string& device) {
    return Saved("c.json", R"({"lines": [{"device": ")" + bench.dir.Path("tty") + "\"" +
                               lineMembers + R"(, "devices": [)" + device + "]}]}");
  }

  Bench bench;
};

const char* const kDevice = R"({"plugin": "do3008ra.so", "dataId": 12})";

TEST_F(BadConfiguration, AMissingFileIsNamed) {
  ExpectRefused(bench.dir.Path("absent.json"), 2, "cannot read configuration");
}

TEST_F(BadConfiguration, MalformedOrIncompleteDocumentsSayWhereTheyAreWrong) {
  ExpectRefused(Saved("a.json", "{\"lines\": [ "), 2, "not valid JSON: Line 1");
  ExpectRefused(Saved("b.json", "[]"), 2, "the configuration: must be an object");
  ExpectRefused(Saved("c.json", "{}"), 2, "lines: must list at least one line");
  ExpectRefused(WithLine("", ""), 2, "lines[0].devices: must list at least one device");
  ExpectRefused(WithLine(", \"baudRate\": 12345", kDevice), 2, "lines[0].baudRate: must be one of");
  ExpectRefused(WithLine(", \"parity\": \"mark\"", kDevice), 2, "lines[0].parity");
  ExpectRefused(WithLine(", \"responseTimeoutMs\": \"fast\"", kDevice), 2,
                "lines[0].responseTimeoutMs: must be a whole number from 10 to 60000, as a "
                "number, not a string \"fast\"");
  ExpectRefused(WithLine("", R"({"plugin": "do3008ra.so"})"), 2,
                "lines[0].devices[0].dataId: is missing");
  ExpectRefused(WithLine("", R"({"plugin": "do3008ra.so", "dataId": 12, "settings": [1]})"), 2,
                "lines[0].devices[0].settings: must be an object");
  ExpectRefused(WithLine("", std::string(kDevice) + ", " + kDevice), 2,
                "data id 12 is configured twice");
}

TEST_F(BadConfiguration, APluginThatDoesNotLoadOrHasNoEntryPoint) {
  ExpectRefused(WithLine("", R"({"plugin": "missing.so", "dataId": 12})"), 3,
                "cannot load plug-in");
  const std::string notAPlugin = Saved("text.so", "not an ELF file");
  ExpectRefused(WithLine("", R"({"plugin": ")" + notAPlugin + R"(", "dataId": 12})"), 3,
                "cannot load plug-in");
  ExpectRefused(WithLine("", R"({"plugin": ")" HOSTFW_PATH R"(", "dataId": 12})"), 3,
                "does not export get_providers");
}

TEST_F(BadConfiguration, DeviceSettingsTheDeviceRejects) {
  // Bus settings the host framework refuses, and a rule file that is not INI.
  ExpectRefused(WithLine("", R"({"plugin": "do3008ra.so", "dataId": 12,
                      "settings": {"busSetting": {"stopBits": 3}}})"),
                2, "device 12: the device rejected its settings");
  std::filesystem::create_directories(bench.dir.Path("ini"));
  bench.dir.Write("ini/12.ini", "[AI\nno section end\n");
  ExpectRefused(WithLine("", kDevice), 2, "device 12: settings rejected:");
}

TEST_F(BadConfiguration, ASerialDeviceThatDoesNotExist) {
  ExpectRefused(WithLine("", kDevice), 4, "cannot open serial device " + bench.dir.Path("tty"));
}

TEST_F(BadConfiguration, ADatabaseThatCannotBeOpened) {
  bench.StartSensor({"--static"});
  const std::string config = WithLine("", kDevice);
  const auto run = RunProgram(
      {DEVHOST_PATH, "run", "--cycles", "1", config, "--plugin-dir", PLUGIN_DIR, "--plugin-log",
       bench.dir.Path("plugin.log"), "--db", bench.dir.Path("no/such/folder/host.db")},
      std::chrono::seconds(30));
  EXPECT_EQ(run.exitCode, 5);
  EXPECT_NE(run.err.find("cannot open database"), std::string::npos) << run.err;
  bench.dir.Write("garbage.db", std::string(4096, 'x'));
  const auto garbage = RunProgram(
      {DEVHOST_PATH, "run", "--cycles", "1", config, "--plugin-dir", PLUGIN_DIR, "--plugin-log",
       bench.dir.Path("plugin.log"), "--db", bench.dir.Path("garbage.db")},
      std::chrono::seconds(30));
  EXPECT_EQ(garbage.exitCode, 5);
  EXPECT_NE(garbage.err.find("file is not a database"), std::string::npos) << garbage.err;
}

// A mistake on the command line is one line saying what is wrong and one pointing at the
// usage that applies; the usage itself would bury the message.
TEST_F(BadConfiguration, CommandLineMistakesAreOneLineAndAHint) {
  const auto run =
      RunProgram({DEVHOST_PATH, "write", "c.json", "12", "80"}, std::chrono::seconds(10));
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_EQ(run.err,
            "devhost: write needs DATA_ID ADDRESS VALUE [VALUE...]\n"
            "see devhost write --help\n");
  EXPECT_EQ(run.out, "");
  const auto option = RunProgram({DEVHOST_PATH, "--frobnicate"}, std::chrono::seconds(10));
  EXPECT_EQ(option.exitCode, 2);
  EXPECT_EQ(option.err, "devhost: unknown option '--frobnicate'\nsee devhost --help\n");
}

// Asked-for texts go to standard output with status 0, so that they can be paged or grepped.
TEST(HostProgram, HelpAndVersionGoToStandardOutput) {
  const auto version = RunProgram({DEVHOST_PATH, "--version"}, std::chrono::seconds(10));
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_EQ(version.out, "devhost " PROJECT_VERSION_TEXT "\n");
  for (const std::vector<std::string>& asked :
       std::vector<std::vector<std::string>>{{"alarms", "--help"}, {"help", "alarms"}}) {
    std::vector<std::string> argv{DEVHOST_PATH};
    argv.insert(argv.end(), asked.begin(), asked.end());
    const auto help = RunProgram(argv, std::chrono::seconds(10));
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_EQ(help.err, "");
    EXPECT_EQ(help.out.rfind("usage: devhost alarms [options] CONFIG\n", 0), 0u) << help.out;
    EXPECT_EQ(help.out.find("exit status:"), std::string::npos) << help.out;
  }
  const auto overview = RunProgram({DEVHOST_PATH, "--help"}, std::chrono::seconds(10));
  EXPECT_EQ(overview.exitCode, 0);
  EXPECT_NE(overview.out.find("exit status:"), std::string::npos) << overview.out;
  EXPECT_NE(overview.out.find("devhost alarms"), std::string::npos) << overview.out;
}

}  // namespace

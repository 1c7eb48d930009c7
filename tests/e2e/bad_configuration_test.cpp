// SPDX-License-Identifier: Apache-2.0
// Bad input to the host: each case ends with one clear message, its own exit status, and no
// database written.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

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

TEST_F(BadConfiguration, APseudoTerminalRefusesRs485Mode) {
  bench.StartSensor({"--static"});
  ExpectRefused(WithLine(R"(, "rs485": {"rtsOnSend": "high", "rtsDelayUs": 500})", kDevice), 4,
                "serial device " + bench.dir.Path("tty") + " refuses RS-485 mode: ");
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

// Files the configuration names are read whole: anything but a regular file of bounded size is
// refused before it could hang the start (a FIFO) or fill the memory (/dev/zero).
TEST_F(BadConfiguration, NamedFilesMustBeRegularFilesOfBoundedSize) {
  const std::string fifo = bench.dir.Path("fifo.json");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  ExpectRefused(fifo, 2, "configuration " + fifo + " is not a regular file");
  ExpectRefused(Saved("big.json", std::string(1024 * 1024 + 1, ' ')), 2,
                "configuration " + bench.dir.Path("big.json") + " is larger than 1 MiB");
  const auto withMqtt = [this](const std::string& member, const std::string& file) {
    return Saved("p.json", R"({"mqtt": {"username": "u", ")" + member + R"(": ")" + file +
                               R"("}, "lines": [{"device": ")" + bench.dir.Path("tty") +
                               R"(", "devices": [)" + kDevice + "]}]}");
  };
  ExpectRefused(withMqtt("passwordFile", "/dev/zero"), 2,
                "mqtt.passwordFile: /dev/zero is not a regular file");
  bench.dir.Write("big.secret", std::string(64 * 1024 + 1, 'x'));
  ExpectRefused(withMqtt("passwordFile", "big.secret"), 2,
                "mqtt.passwordFile: " + bench.dir.Path("big.secret") + " is larger than 64 KiB");
  ExpectRefused(withMqtt("caFile", "/dev/zero"), 2, "mqtt.caFile: /dev/zero is not a regular file");
  ExpectRefused(WithLine("", R"({"plugin": ")" + fifo + R"(", "dataId": 12})"), 2,
                "plug-in " + fifo + " is not a regular file");
  // The device reads its rule file itself (rule-file mode is its default): the host looks first.
  std::filesystem::create_directories(bench.dir.Path("ini"));
  const std::string rules = bench.dir.Path("ini/12.ini");
  const std::string refusal =
      "device 12: rule file ./ini/12.ini (under " + bench.dir.Path() + ") is not a regular file";
  ASSERT_EQ(mkfifo(rules.c_str(), 0600), 0);
  ExpectRefused(WithLine("", kDevice), 2, refusal);
  std::filesystem::remove(rules);
  std::filesystem::create_symlink("/dev/zero", rules);
  ExpectRefused(WithLine("", kDevice), 2, refusal);
}

// One sensor configured as two devices, one port as two lines, a socket another host answers
// on: each is refused before anything is created.
TEST_F(BadConfiguration, ASensorOrAPortTakenTwiceAndAnotherHostsSocket) {
  ExpectRefused(WithLine("", R"({"plugin": "do3008ra.so", "dataId": 12, "slaveAddress": 5},
                                {"plugin": "do3008ra.so", "dataId": 13, "slaveAddress": 5})"),
                2, "lines[0]: devices 12 and 13 both have slave address 5");
  std::filesystem::create_symlink("/dev/null", bench.dir.Path("port"));
  const std::string line = std::string(R"(, "devices": [)") + kDevice + "]}";
  ExpectRefused(
      Saved("two.json", R"({"lines": [{"device": "/dev/null")" + line + R"(, {"device": ")" +
                            bench.dir.Path("port") + "\"" + line + "]}"),
      2, "lines[1].device: " + bench.dir.Path("port") + " is used by two lines (as /dev/null)");

  // Refused once its port is open (a second host on one configuration is refused for the port).
  bench.StartSensor({"--static"});
  const int listening = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string socketPath = bench.dir.Path("host.sock");
  socketPath.copy(address.sun_path, sizeof address.sun_path - 1);
  ASSERT_EQ(bind(listening, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listening, 1), 0);
  ExpectRefused(WithLine("", kDevice), 2, "is in use: another host is running");
  close(listening);
}

// Members the host does not know are named, each on one line, and the host runs as before. The
// history it keeps is its owner's alone, whatever the umask; plot finds its one device in it.
TEST_F(BadConfiguration, UnknownMembersAreNamedAndTheHistoryIsPrivate) {
  bench.StartSensor({"--static"});
  const std::string config =
      Saved("u.json", R"({"databse": "x.db", "lines": [{"device": ")" + bench.dir.Path("tty") +
                          R"(", "baudrate": 19200, "devices": [)" + kDevice + "]}]}");
  const mode_t umaskBefore = umask(022);
  const auto run = bench.Host({"run", "--cycles", "2", config});
  umask(umaskBefore);
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
  const std::string head = "devhost: configuration " + config + ": ";
  EXPECT_EQ(run.err, head + "databse: unknown member, ignored\n" + head +
                         "lines[0].baudrate: unknown member, ignored (did you mean baudRate?)\n");
  for (const char* suffix : {"", "-wal", "-shm"}) {
    struct stat info {};
    const std::string file = bench.Database() + suffix;
    if (stat(file.c_str(), &info) != 0) continue;  // SQLite removes -wal and -shm at the end
    EXPECT_EQ(info.st_mode & 0777, 0600u) << file;
  }
  const std::string svg = bench.dir.Path("plot.svg");
  const auto plot = RunProgram({DEVHOST_PATH, "plot", "--db", bench.Database(), "--output", svg},
                               std::chrono::seconds(60));
  EXPECT_EQ(plot.exitCode, 0) << plot.err;
  EXPECT_NE(plot.out.find("of device 12"), std::string::npos) << plot.out;
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

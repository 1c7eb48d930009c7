// SPDX-License-Identifier: Apache-2.0
// Commissioning a sensor: finding it on the bus, moving it to another address and speed with the
// host following it there, and the failures that leave the host on the old setting.
#include <gtest/gtest.h>
#include <json/reader.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include <thread>

#include "Bench.h"
#include "Text.h"
#include "Wait.h"

namespace {

using namespace std::chrono_literals;

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  const auto at = text.find(from);
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

bool Exists(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0;
}

class Commissioning : public ::testing::Test {
 protected:
  ProcessResult Scan(const std::vector<std::string>& options) {
    std::vector<std::string> argv{DEVHOST_PATH, "scan", bench.dir.Path("tty")};
    argv.insert(argv.end(), options.begin(), options.end());
    return RunProgram(argv, 60s);
  }

  Bench bench;
};

TEST_F(Commissioning, ScanFindsTheSensorAtItsAddressAndSpeedAndNothingElse) {
  bench.StartSensor({"--slave", "37", "--baud-code", "3", "--static", "--verbose"});
  // Every speed, 9600 first, over addresses around the sensor's.
  const auto scan = Scan({"--address", "34-40", "--timeout", "50"});
  ASSERT_EQ(scan.exitCode, 0) << scan.out << scan.err;
  EXPECT_TRUE(Contains(scan.out, "56 of 56 addresses asked")) << scan.out;
  EXPECT_TRUE(Contains(scan.out, "37       19200   none    address 37, 19200 baud   agrees"))
      << scan.out;
  EXPECT_FALSE(Contains(scan.out, "also answered")) << scan.out;
  EXPECT_TRUE(Contains(scan.err, "found at address 37, 19200 baud")) << scan.err;

  const auto json = Scan({"--address", "35-39", "--baud", "9600,19200", "--json"});
  ASSERT_EQ(json.exitCode, 0) << json.err;
  const Json::Value document = JsonValue(json.out);
  EXPECT_TRUE(document["complete"].asBool());
  EXPECT_EQ(document["probes"].asInt(), 10);
  ASSERT_EQ(document["found"].size(), 1u) << json.out;
  const Json::Value& found = document["found"][0];
  EXPECT_EQ(found["address"].asInt(), 37);
  EXPECT_EQ(found["baud"].asInt(), 19200);
  EXPECT_EQ(found["register_baud_code"].asInt(), 3);
  EXPECT_TRUE(found["address_agrees"].asBool());
  EXPECT_TRUE(found["baud_agrees"].asBool());
  EXPECT_EQ(document["others"].size(), 0u);

  // At a speed it is not set to, the sensor hears nothing: a scan there finds nothing.
  const auto wrongSpeed = Scan({"--address", "37", "--baud", "9600", "--timeout", "50"});
  EXPECT_EQ(wrongSpeed.exitCode, 6) << wrongSpeed.out;
  EXPECT_TRUE(Contains(wrongSpeed.out, "no DO3008RA answered")) << wrongSpeed.out;
  // Requests for other addresses and at other speeds never confused the sensor.
  EXPECT_FALSE(Contains(bench.SensorLog(), "unreadable request")) << bench.SensorLog();
}

// --first ends the scan at the sensor, 9600 tried first by default and the order of --baud kept
// when given; each way the members to write into the configuration are named.
TEST_F(Commissioning, ScanFirstStopsAtTheSensorAndNamesItsConfigurationMembers) {
  bench.StartSensor({"--slave", "37", "--baud-code", "3", "--static"});
  // 9600, 115200, 57600, 38400 at all seven addresses, then 34-37 at 19200.
  const auto scan = Scan({"--address", "34-40", "--timeout", "50", "--first"});
  ASSERT_EQ(scan.exitCode, 0) << scan.out << scan.err;
  EXPECT_EQ(scan.err.rfind("scanning at 9600 baud", 0), 0u) << scan.err;
  EXPECT_TRUE(Contains(scan.err, "scan stopped at the first sensor found (--first), 32 of 56"))
      << scan.err;
  EXPECT_TRUE(Contains(scan.out, "32 of 56 addresses asked")) << scan.out;
  EXPECT_TRUE(Contains(scan.out, "\n  \"device\": \"" + bench.dir.Path("tty") +
                                     "\", \"baudRate\": 19200, \"slaveAddress\": 37\n"))
      << scan.out;

  const auto json = Scan({"--address", "34-40", "--baud", "19200,9600", "--first", "--json"});
  const Json::Value document = JsonValue(json.out);
  EXPECT_EQ(document["probes"].asInt(), 4) << json.out;
  EXPECT_TRUE(document["stopped_at_first"].asBool());
  EXPECT_EQ(document["found"][0]["host_config"]["slaveAddress"].asInt(), 37) << json.out;
}

TEST_F(Commissioning, ReaddressAndRebaudAreVerifiedAndTheHostFollowsWithTheChangedConfiguration) {
  bench.StartSensor({"--static"});
  const std::string config = bench.Config(Mode5Settings());

  const auto readdress = bench.Host({"readdress", config, "12", "9"});
  ASSERT_EQ(readdress.exitCode, 0) << readdress.out << readdress.err;
  EXPECT_TRUE(Contains(readdress.out, "write    12    register 2000 = 9: confirmed"))
      << readdress.out;
  EXPECT_TRUE(
      Contains(readdress.out, "readdress 12    1 -> 9: now at address 9, 9600 baud: verified"))
      << readdress.out;
  EXPECT_TRUE(Contains(readdress.out, "set lines[0].devices[0].slaveAddress to 9 in " + config))
      << readdress.out;
  // The change printed, made by hand as a person would.
  const std::string byHand =
      Replaced(ReadFile(config), "\"slaveAddress\": 1", "\"slaveAddress\": 9");
  bench.dir.Write("host.json", byHand);

  const auto rebaud = bench.Host({"rebaud", "--update-config", config, "12", "38400"});
  ASSERT_EQ(rebaud.exitCode, 0) << rebaud.out << rebaud.err;
  EXPECT_TRUE(
      Contains(rebaud.out, "rebaud   12    9600 -> 38400: now at address 9, 38400 baud: verified"))
      << rebaud.out;
  EXPECT_TRUE(Contains(rebaud.out, "updated lines[0].baudRate to 38400")) << rebaud.out;
  // Only that member changed; the old file is kept beside it.
  EXPECT_EQ(ReadFile(config), Replaced(byHand, "\"baudRate\": 9600", "\"baudRate\": 38400"));
  EXPECT_EQ(ReadFile(config + ".bak"), byHand);
  EXPECT_EQ(ReadFile(config + ".orig"), byHand);

  const auto run = bench.Host({"run", "--cycles", "3", config});
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_TRUE(Contains(run.out, "summary  12    cycles 3  errors 0")) << run.out;
  EXPECT_TRUE(Contains(run.out, "38400 baud")) << run.out;
}

// A readdress killed after the sensor moved leaves its record beside the database (and an edit's
// temporary file): the next host finds the sensor where the change took it and completes the
// configuration edit the command was to make, in the file a link leads to, owner and mode kept.
TEST_F(Commissioning, AnInterruptedReaddressIsCompletedAtTheNextStartThroughALinkedConfiguration) {
  bench.StartSensor({"--static"});
  const std::string written = bench.Config(Mode5Settings());
  std::filesystem::create_directories(bench.dir.Path("etc"));
  const std::string real = bench.dir.Path("etc/host.json");
  std::filesystem::rename(written, real);
  std::filesystem::create_symlink(real, written);
  ASSERT_EQ(chmod(real.c_str(), 0640), 0);
  const bool root = geteuid() == 0;
  if (root) {
    ASSERT_EQ(chown(real.c_str(), 4321, 4322), 0);
  }
  const std::string original = ReadFile(real);

  // The sensor moved; a command that ends says so and leaves no record.
  const auto moved = bench.Host({"readdress", written, "12", "9"});
  ASSERT_EQ(moved.exitCode, 0) << moved.out << moved.err;
  const std::string record = bench.Database() + ".change-12";
  EXPECT_FALSE(Exists(record));
  // What a readdress --update-config killed between the write and the edit leaves.
  const pid_t gone = fork();
  if (gone == 0) _exit(0);
  ASSERT_EQ(waitpid(gone, nullptr, 0), gone);
  const std::string id = std::to_string(gone);
  bench.dir.Write("host.db.change-12", R"({"dataId": 12, "member": "slaveAddress", "to": 9, )"
                                       R"("updateConfig": true, "pid": )" +
                                           id + "}\n");
  bench.dir.Write("etc/host.json.tmp" + id, "half");

  const auto run = bench.Host({"run", "--cycles", "3", written});
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_TRUE(Contains(run.out, "device 12: a readdress to address 9 was interrupted (pid " + id +
                                    ") after the sensor moved: following it at address 9 in "
                                    "this run; updated lines[0].devices[0].slaveAddress to 9"))
      << run.out;
  EXPECT_TRUE(Contains(run.out, "summary  12    cycles 3  errors 0")) << run.out;
  EXPECT_FALSE(Exists(record));
  EXPECT_FALSE(Exists(bench.dir.Path("etc/host.json.tmp" + id)));
  EXPECT_TRUE(std::filesystem::is_symlink(written));
  EXPECT_EQ(ReadFile(real), Replaced(original, "\"slaveAddress\": 1", "\"slaveAddress\": 9"));
  EXPECT_EQ(ReadFile(real + ".bak"), original);
  for (const std::string& file : {real, real + ".bak"}) {
    struct stat info {};
    ASSERT_EQ(stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u) << file;
    if (root) {
      EXPECT_EQ(info.st_uid, 4321u) << file;
      EXPECT_EQ(info.st_gid, 4322u) << file;
    }
  }
}

// readdress --update-config killed at moments from its start to well past the write: whatever
// it had done, the next host finds the sensor, and the record is resolved.
TEST_F(Commissioning, AReaddressKilledAtAnyMomentLeavesAHostThatFindsTheSensor) {
  bench.StartSensor({"--static"});
  const std::string config = bench.Config(Mode5Settings());
  const std::string record = bench.Database() + ".change-12";
  for (int round = 0; round < 8; ++round) {
    const std::string to = std::to_string(9 + round);  // never where the sensor is
    BackgroundProcess command(bench.HostCommand({"readdress", "--update-config", config, "12", to}),
                              bench.dir.Path("readdress.out"));
    // The record is there before any register is written: from then on the kill matters.
    for (int i = 0; i < 1000 && !Exists(record) && kill(command.Pid(), 0) == 0; ++i) {
      std::this_thread::sleep_for(1ms);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(round * 5));
    command.Kill();
    const auto run = bench.Host({"run", "--cycles", "2", config});
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_TRUE(Contains(run.out, "summary  12    cycles 2  errors 0")) << run.out;
    EXPECT_FALSE(Exists(record)) << run.out;
  }
}

TEST_F(Commissioning, FailedChangesReportTheFailureAndTheOldSettingIsTriedAgain) {
  // Speeds above 19200 are refused by this sensor (exception 03).
  bench.StartSensor({"--static", "--highest-baud-code", "3"});
  const std::string config = bench.Config(Mode5Settings());
  const std::string original = ReadFile(config);
  const auto refused = bench.Host({"rebaud", "--update-config", config, "12", "38400"});
  EXPECT_EQ(refused.exitCode, 7) << refused.out << refused.err;
  EXPECT_TRUE(Contains(refused.out,
                       "not changed: the write was refused by the sensor: Modbus "
                       "exception 3"))
      << refused.out;
  EXPECT_TRUE(Contains(refused.out, "back at address 1, 9600 baud: the sensor answers there"))
      << refused.out;
  EXPECT_EQ(ReadFile(config), original);
  EXPECT_FALSE(Exists(config + ".bak"));

  // This sensor confirms, but takes a new address or speed only at its next start.
  bench.StopSensor();
  bench.StartSensor({"--static", "--change-on-restart"});
  const auto silent = bench.Host({"rebaud", "--update-config", config, "12", "19200"});
  EXPECT_EQ(silent.exitCode, 6) << silent.out << silent.err;
  EXPECT_TRUE(Contains(silent.out, "no answer at address 1, 19200 baud")) << silent.out;
  EXPECT_TRUE(Contains(silent.out,
                       "back at address 1, 9600 baud: the sensor answers there, its "
                       "registers say address 1, 19200 baud"))
      << silent.out;
  const auto moved = bench.Host({"readdress", "--json", config, "12", "9"});
  EXPECT_EQ(moved.exitCode, 6) << moved.out << moved.err;
  const Json::Value events = JsonValue(moved.out)["events"];
  ASSERT_EQ(events.size(), 2u) << moved.out;
  EXPECT_EQ(events[1]["event"].asString(), "readdress");
  EXPECT_FALSE(events[1]["verified"].asBool());
  EXPECT_EQ(events[1]["address"].asInt(), 1);  // the host stays where the sensor answers
  EXPECT_EQ(ReadFile(config), original);
  // Nothing was lost: the host still reaches the sensor at the old setting.
  const auto status = bench.Host({"status", config});
  EXPECT_EQ(status.exitCode, 0) << status.out << status.err;

  // Another device shares the line: its speed is not changed under it without --force.
  bench.dir.Write("two.json", Replaced(original, "\"settings\": ",
                                       "\"settings\": " + Mode5Settings() +
                                           "}, {\"plugin\": \"do3008ra.so\", \"dataId\": 13, "
                                           "\"slaveAddress\": 2, \"settings\": "));
  const auto shared = bench.Host({"rebaud", bench.dir.Path("two.json"), "12", "19200"});
  EXPECT_EQ(shared.exitCode, 2) << shared.out << shared.err;
  EXPECT_TRUE(Contains(shared.out, "not done: line " + bench.dir.Path("tty") + " has 2 devices"))
      << shared.out;
  EXPECT_FALSE(Contains(shared.out, "write ")) << shared.out;
}

TEST_F(Commissioning, ARunningHostMakesTheChangeOnItsOwnLineAndKeepsPolling) {
  bench.StartSensor({"--static"});
  const std::string config = bench.Config(Mode5Settings(), 100);
  const std::string log = bench.dir.Path("host.log");
  BackgroundProcess host(bench.HostCommand({"run", config}), log);
  ASSERT_TRUE(WaitForText(log, "cycle ", 15s)) << ReadFile(log);

  const auto rebaud = bench.Host({"rebaud", "--update-config", config, "12", "19200"});
  ASSERT_EQ(rebaud.exitCode, 0) << rebaud.out << rebaud.err;
  EXPECT_TRUE(Contains(rebaud.out, "now at address 1, 19200 baud: verified")) << rebaud.out;
  const auto readdress = bench.Host({"readdress", "--update-config", config, "12", "5"});
  ASSERT_EQ(readdress.exitCode, 0) << readdress.out << readdress.err;
  EXPECT_TRUE(Contains(readdress.out, "now at address 5, 19200 baud: verified")) << readdress.out;

  // The host goes on polling at the new setting: three more cycles, and not one error.
  const std::string marker = "readdress 12    1 -> 5";
  ASSERT_TRUE(WaitForText(log, marker, 10s)) << ReadFile(log);
  auto cyclesAfter = [&] {
    const std::string text = ReadFile(log);
    int cycles = 0;
    for (auto at = text.find("cycle ", text.find(marker)); at != std::string::npos;
         at = text.find("cycle ", at + 1)) {
      ++cycles;
    }
    return cycles;
  };
  EXPECT_TRUE(WaitUntil("3 cycles after the readdress", 10s, [&] { return cyclesAfter() >= 3; }));
  EXPECT_EQ(host.Stop(5000ms), 0);
  EXPECT_FALSE(Contains(ReadFile(log), "error    12")) << ReadFile(log);
  // What the running host did, the configuration now says.
  const std::string updated = ReadFile(config);
  EXPECT_TRUE(Contains(updated, "\"baudRate\": 19200")) << updated;
  EXPECT_TRUE(Contains(updated, "\"slaveAddress\": 5")) << updated;
}

// An operator in the socket's group, who may not write beside the database, commissions through
// the running host: the host records the change, not the client. A record the host cannot read
// is said at start, not passed over.
TEST_F(Commissioning, AnOperatorWhoCannotWriteBesideTheDatabaseCommissionsThroughTheHost) {
  if (geteuid() != 0) GTEST_SKIP() << "running a client as another user needs root";
  const auto asOperator = [&](const std::vector<std::string>& args) {
    std::vector<std::string> argv{"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                  "--groups=4321", DEVHOST_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.insert(argv.end(),
                {"--db", bench.Database(), "--plugin-dir", PLUGIN_DIR, "--plugin-log", "-"});
    return RunProgram(argv, 60s);
  };
  if (asOperator({"--version"}).exitCode != 0) {
    GTEST_SKIP() << "user 65534 cannot run " << DEVHOST_PATH;
  }
  bench.StartSensor({"--static"});
  const std::string config = bench.Config(Mode5Settings());
  const std::string record = bench.Database() + ".change-12";
  std::filesystem::create_symlink(record, record);  // a record no open gets through
  const auto warned = bench.Host({"run", "--cycles", "1", config});
  EXPECT_TRUE(Contains(warned.out,
                       "device 12: warning: the record of an interrupted readdress or "
                       "rebaud cannot be read (" +
                           record))
      << warned.out;
  std::filesystem::remove(record);

  bench.dir.Write("host.json", "{\"controlSocketGroup\": 4321, " + ReadFile(config).substr(1));
  ASSERT_EQ(chmod(bench.dir.Path().c_str(), 0711), 0);  // through, but no writing there
  const std::string log = bench.dir.Path("host.log");
  BackgroundProcess host(bench.HostCommand({"run", config}), log);
  ASSERT_TRUE(WaitForText(log, "cycle ", 15s)) << ReadFile(log);
  // The operator may not write the configuration either: the sensor moved and is verified, and
  // the command says so with a status of its own, and what to set.
  const auto readdress = asOperator({"readdress", "--update-config", config, "12", "9"});
  EXPECT_EQ(readdress.exitCode, 8) << readdress.out << readdress.err;
  EXPECT_TRUE(Contains(readdress.out, "now at address 9, 9600 baud: verified")) << readdress.out;
  EXPECT_TRUE(Contains(readdress.out, "set lines[0].devices[0].slaveAddress to 9 in " + config))
      << readdress.out;
  // The record is the only trace of the move until the configuration says it: another change
  // of the device would replace it, so it is refused.
  EXPECT_TRUE(Exists(record));
  const auto rebaud = asOperator({"rebaud", config, "12", "19200"});
  EXPECT_EQ(rebaud.exitCode, 2) << rebaud.out << rebaud.err;
  EXPECT_TRUE(Contains(rebaud.err, "set lines[0].devices[0].slaveAddress to 9 there first"))
      << rebaud.err;
  EXPECT_EQ(host.Stop(5000ms), 0);
  // The next start tells the change as it happened and completes the configuration.
  const auto next = bench.Host({"run", "--cycles", "2", config});
  EXPECT_EQ(next.exitCode, 0) << next.out << next.err;
  EXPECT_TRUE(Contains(next.out, "a readdress to address 9 was verified (pid ")) << next.out;
  EXPECT_TRUE(Contains(next.out, "following it at address 9 in this run; updated")) << next.out;
  EXPECT_FALSE(Exists(record));
}

}  // namespace

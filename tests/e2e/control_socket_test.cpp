// SPDX-License-Identifier: Apache-2.0
// A running host operated from outside: commands through its control socket while it polls,
// requests it must refuse without stopping, and the link events of a sensor that goes silent.
#include <gtest/gtest.h>
#include <json/reader.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include "Bench.h"
#include "RawSocket.h"
#include "Text.h"
#include "Wait.h"

namespace {

using namespace std::chrono_literals;

long long HistoryRows(const Bench& bench) {
  return QueryCount(bench.Database(), "SELECT COUNT(*) FROM history");
}

class RunningHost : public ::testing::Test {
 protected:
  // Each host writes a log of its own, so a wait never reads an earlier host's lines.
  // `members`: more configuration members, written first ("\"retentionDays\": 1, ").
  void StartHost(int pollMs = 50, int responseTimeoutMs = Bench::kAnswerTimeoutMs,
                 const std::string& members = "") {
    config_ = bench.Config(Mode5Settings(), pollMs, responseTimeoutMs);
    bench.dir.Write("host.json", "{" + members + ReadFile(config_).substr(1));
    log_ = bench.dir.Path("host" + std::to_string(++hosts_) + ".log");
    host_ = std::make_unique<BackgroundProcess>(bench.HostCommand({"run", config_}), log_);
    ASSERT_TRUE(WaitForText(log_, "cycle ")) << HostLog();
  }
  std::string HostLog() const { return ReadFile(log_); }
  std::string Socket() const { return bench.dir.Path("host.sock"); }
  int StopHost() { return host_->Stop(5000ms); }
  // Writes 1 to `count` into register 80 through the running host, each confirmed.
  void WriteConfirmed(int count) {
    for (int i = 1; i <= count; ++i) {
      const auto write = bench.Host({"write", config_, "12", "80", std::to_string(i)});
      ASSERT_EQ(write.exitCode, 0) << write.out << write.err;
      EXPECT_NE(write.out.find("register 80 = " + std::to_string(i) + ": confirmed"),
                std::string::npos)
          << write.out;
    }
  }

  Bench bench;
  std::string config_;
  std::unique_ptr<BackgroundProcess> host_;
  std::string log_;
  int hosts_ = 0;
};

// Operators without root: members of the socket's group may use it, anyone else is refused by
// the kernel. The client runs as user nobody (65534), with or without the group as a
// supplementary one; numeric ids need no user made for them.
TEST_F(RunningHost, MembersOfTheSocketGroupMayUseItAndOthersAreRefusedByTheKernel) {
  if (geteuid() != 0) GTEST_SKIP() << "running a client as another user needs root";
  const std::string group = "4321";
  const auto asNobody = [&](const std::string& groups, const std::vector<std::string>& args) {
    std::vector<std::string> argv{"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", groups,
                                  DEVHOST_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.insert(argv.end(),
                {"--db", bench.Database(), "--plugin-dir", PLUGIN_DIR, "--plugin-log", "-"});
    return RunProgram(argv, 30s);
  };
  if (asNobody("--clear-groups", {"--version"}).exitCode != 0) {
    GTEST_SKIP() << "user 65534 cannot run " << DEVHOST_PATH
                 << " (a build tree others may not read)";
  }
  bench.StartSensor({"--static"});
  // The folder lets anyone through, so that a refusal can only come from the socket's mode.
  ASSERT_EQ(chmod(bench.dir.Path().c_str(), 0711), 0);
  StartHost(50, Bench::kAnswerTimeoutMs, "\"controlSocketGroup\": " + group + ", ");
  struct stat info {};
  ASSERT_EQ(lstat(Socket().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0660u);
  EXPECT_EQ(info.st_gid, 4321u);

  const auto member = asNobody("--groups=" + group, {"status", config_});
  EXPECT_EQ(member.exitCode, 0) << member.out << member.err;
  EXPECT_NE(member.out.find("status   12"), std::string::npos) << member.out;
  const auto other = asNobody("--clear-groups", {"alarms", config_});
  EXPECT_EQ(other.exitCode, 2) << other.out << other.err;
  EXPECT_NE(other.err.find("control socket " + Socket() + ": Permission denied"), std::string::npos)
      << other.err;
  ASSERT_EQ(StopHost(), 0) << HostLog();
}

TEST_F(RunningHost, WritesThroughTheSocketWhilePollingAreAllConfirmedAndTheLineStaysClean) {
  bench.StartSensor({"--static"});
  StartHost(50);
  struct stat info {};
  ASSERT_EQ(stat(Socket().c_str(), &info), 0);
  EXPECT_TRUE(S_ISSOCK(info.st_mode));
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  ASSERT_NO_FATAL_FAILURE(WriteConfirmed(20));
  // The last write shows in the document the running host answered with.
  const auto status = bench.Host({"status", "--json", config_});
  ASSERT_EQ(status.exitCode, 0) << status.err;
  const Json::Value document = JsonValue(status.out);
  EXPECT_EQ(document["command"].asString(), "status");
  EXPECT_EQ(document["events"][0]["document"]["温度校准值"].asDouble(), 2.0) << status.out;

  ASSERT_EQ(StopHost(), 0);
  const std::string log = HostLog();
  EXPECT_NE(log.find("summary  12    cycles "), std::string::npos) << log;
  EXPECT_NE(log.find("errors 0"), std::string::npos) << log;
  EXPECT_EQ(log.find("error    12"), std::string::npos) << log;
  EXPECT_NE(log.find("register 80 = 20: confirmed"), std::string::npos);
  // A clean stop takes the socket away.
  EXPECT_NE(stat(Socket().c_str(), &info), 0);
}

// A sensor that answers late now and then keeps each exchange in flight longer: a write that
// did not wait for the line's thread would meet a poll on the wire and take its answer.
TEST_F(RunningHost, WritesWhileASlowSensorIsPolledTakeOnlyTheirOwnAnswers) {
  bench.StartSensor({"--static", "--late", "40", "--late-ms", "30", "--seed", "11"});
  StartHost(50, 400);
  ASSERT_NO_FATAL_FAILURE(WriteConfirmed(10));
  ASSERT_EQ(StopHost(), 0);
  const std::string log = HostLog();
  EXPECT_EQ(CountOf(log, ": confirmed"), 10u) << log;
  EXPECT_EQ(log.find("error    12"), std::string::npos) << log;
  EXPECT_NE(log.find("errors 0"), std::string::npos) << log;
}

// Through a running host a write ends as it would stand-alone: refused by the sensor 7, a wrong
// echo 1, each with its reason.
TEST_F(RunningHost, AWriteThroughTheHostKeepsTheExitStatusOfItsOutcome) {
  bench.StartSensor({"--static", "--wrong-echo"});
  StartHost(50);
  const auto refused = bench.Host({"write", config_, "12", "1", "99"});
  EXPECT_EQ(refused.exitCode, 7) << refused.out << refused.err;
  EXPECT_NE(refused.out.find("register 1 = 99: refused by the sensor: Modbus exception 2"),
            std::string::npos)
      << refused.out;
  const auto wrongEcho = bench.Host({"write", config_, "12", "81", "7"});
  EXPECT_EQ(wrongEcho.exitCode, 1) << wrongEcho.out << wrongEcho.err;
  EXPECT_NE(wrongEcho.out.find("register 81 = 7: not confirmed (echo 8 for 7)"), std::string::npos)
      << wrongEcho.out;
  ASSERT_EQ(StopHost(), 0);
  // Both were carried out by the running host, not by a stand-alone one.
  EXPECT_NE(HostLog().find("register 1 = 99: refused by the sensor"), std::string::npos)
      << HostLog();
  EXPECT_NE(HostLog().find("register 81 = 7: not confirmed"), std::string::npos) << HostLog();
}

TEST_F(RunningHost, BadRequestsAreAnsweredOrDroppedAndThePollingGoesOn) {
  bench.StartSensor({"--static"});
  StartHost(50);

  const Json::Value notJson = JsonValue(RawRequest(Socket(), "status please\n"));
  EXPECT_EQ(notJson["exit_code"].asInt(), 2);
  EXPECT_EQ(notJson["error"].asString(), "the request is not valid JSON");
  const Json::Value unknown = JsonValue(RawRequest(Socket(), R"({"command": "reboot"})"));
  EXPECT_EQ(unknown["error"].asString(), "unknown command \"reboot\"");
  const Json::Value noDevice =
      JsonValue(RawRequest(Socket(), R"({"command": "write", "data_id": 99, "address": 80})"));
  EXPECT_EQ(noDevice["error"].asString(), "no device with data id 99");
  const Json::Value badValue = JsonValue(RawRequest(
      Socket(), R"({"command": "write", "data_id": 12, "address": 80, "values": [70000]})"));
  EXPECT_EQ(badValue["exit_code"].asInt(), 2);

  // A client that connects and says nothing is let go; one that sends 10 MB is cut off.
  const long long before = HistoryRows(bench);
  const Json::Value idle = JsonValue(RawRequest(Socket(), "", 2500ms));
  EXPECT_EQ(idle["error"].asString(), "no whole request within 2000 ms");
  const std::string flood = RawRequest(Socket(), std::string(10 * 1024 * 1024, '{'));
  EXPECT_TRUE(flood.empty() ||
              JsonValue(flood)["error"].asString() == "request larger than 65536 bytes")
      << flood.substr(0, 200);
  // The line polled on throughout: 2.5 s at 50 ms.
  EXPECT_GT(HistoryRows(bench) - before, 20);

  const auto alarms = bench.Host({"alarms", config_});
  EXPECT_EQ(alarms.exitCode, 0) << alarms.err;
  EXPECT_NE(alarms.out.find("alarms   12    none active"), std::string::npos) << alarms.out;
  ASSERT_EQ(StopHost(), 0);
  EXPECT_EQ(HostLog().find("error    12"), std::string::npos) << HostLog();
}

TEST_F(RunningHost, ASocketLeftByAKilledHostIsReplacedByTheNextHost) {
  bench.StartSensor({"--static"});
  StartHost(50);
  kill(host_->Pid(), SIGKILL);
  host_->Stop();
  struct stat info {};
  ASSERT_EQ(stat(Socket().c_str(), &info), 0) << "the killed host left its socket";
  StartHost(50);
  const auto status = bench.Host({"status", config_});
  EXPECT_EQ(status.exitCode, 0) << status.err;
  EXPECT_EQ(StopHost(), 0);
}

// A configuration of this bench whose host listens at `socket`, its device under `dataId`.
std::string WithSocket(const Bench& bench, const std::string& socket, const std::string& name,
                       uint32_t dataId) {
  std::string text = ReadFile(bench.Config(Mode5Settings(), 50));
  const std::string id = "\"dataId\": " + std::to_string(Bench::kDataId);
  text.replace(text.find(id), id.size(), "\"dataId\": " + std::to_string(dataId));
  bench.dir.Write(name, R"({"controlSocket": ")" + socket + "\", " + text.substr(1));
  return bench.dir.Path(name);
}

// Two hosts on two lines, configured with one control socket: the second is refused before it
// polls, and the socket stays the first host's.
TEST(SharedSocket, ASecondHostOnAnotherLineIsRefusedAndTheFirstStillAnswers) {
  Bench first;
  Bench other;
  first.StartSensor({"--static"});
  other.StartSensor({"--static"});
  const std::string socket = first.dir.Path("shared.sock");
  const std::string firstConfig = WithSocket(first, socket, "first.json", 12);
  const std::string log = first.dir.Path("first.log");
  BackgroundProcess host(first.HostCommand({"run", firstConfig}), log);
  ASSERT_TRUE(WaitForText(log, "cycle ")) << ReadFile(log);

  const auto second =
      other.Host({"run", "--cycles", "2", WithSocket(other, socket, "second.json", 13)}, 20s);
  EXPECT_EQ(second.exitCode, 2) << second.out << second.err;
  EXPECT_NE(second.err.find("control socket " + socket + " is in use: another host is running"),
            std::string::npos)
      << second.err;
  EXPECT_EQ(second.out.find("cycle    13"), std::string::npos) << second.out;

  const auto status = first.Host({"status", firstConfig});
  EXPECT_EQ(status.exitCode, 0) << status.out << status.err;
  EXPECT_NE(status.out.find("status   12 "), std::string::npos) << status.out;
  EXPECT_EQ(status.out.find(" 13 "), std::string::npos) << status.out;
  EXPECT_EQ(host.Stop(5000ms), 0) << ReadFile(log);
}

// The sensor stops answering (the simulator is paused) for well over three cycles, then comes
// back: one "link lost", one "link restored", both stored; status meanwhile says there is no
// answer and shows the last record with the time it was stored.
TEST_F(RunningHost, ASilentSensorIsOneLinkLostAndOneLinkRestored) {
  bench.StartSensor({"--static"});
  StartHost(100);
  ASSERT_EQ(kill(bench.SensorPid(), SIGSTOP), 0);
  ASSERT_TRUE(WaitForText(log_, "link     12    lost after 3 failed cycle(s)")) << HostLog();
  // Failures go on being counted, not printed, while the link is lost.
  ASSERT_TRUE(WaitUntil("5 failed cycles counted in the store", 15s, [&] {
    return QueryCount(bench.Database(), "SELECT COALESCE(MAX(errors), 0) FROM device_errors") >= 5;
  }));
  EXPECT_EQ(CountOf(HostLog(), "error    12"), 3) << HostLog();

  const auto status = bench.Host({"status", config_});
  EXPECT_EQ(status.exitCode, 6) << status.out << status.err;
  EXPECT_NE(status.out.find("status   12    no answer from the sensor: "), std::string::npos)
      << status.out;
  const auto stored = QueryRows(bench.Database(), "SELECT MAX(time) FROM history");
  EXPECT_NE(status.out.find("last stored record, stored " + stored[0][0] + ": {"),
            std::string::npos)
      << status.out;

  ASSERT_EQ(kill(bench.SensorPid(), SIGCONT), 0);
  ASSERT_TRUE(WaitForText(log_, "link     12    restored after ")) << HostLog();
  const long long resumed = HistoryRows(bench);
  ASSERT_TRUE(WaitForText(log_, "restored after")) << HostLog();
  std::this_thread::sleep_for(500ms);
  ASSERT_EQ(StopHost(), 0);
  EXPECT_GT(HistoryRows(bench), resumed);

  const auto events = QueryRows(
      bench.Database(), "SELECT event, failed_cycles, failure FROM link_events ORDER BY id");
  ASSERT_EQ(events.size(), 2u) << HostLog();
  EXPECT_EQ(events[0][0], "lost");
  EXPECT_EQ(events[0][1], "3");
  EXPECT_NE(events[0][2].find("Connection timed out"), std::string::npos) << events[0][2];
  EXPECT_EQ(events[1][0], "restored");
  EXPECT_GE(std::stoi(events[1][1]), 5);
  const auto errors = QueryRows(bench.Database(), "SELECT errors FROM device_errors");
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_GE(std::stoi(errors[0][0]), 5);
}

}  // namespace

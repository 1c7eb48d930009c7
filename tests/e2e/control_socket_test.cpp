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

namespace {

using namespace std::chrono_literals;

long long HistoryRows(const Bench& bench) {
  return QueryCount(bench.Database(), "SELECT COUNT(*) FROM history");
}

class RunningHost : public ::testing::Test {
 protected:
  // Each host writes a log of its own, so a wait never reads an earlier host's lines.
  void StartHost(int pollMs = 50) {
    config_ = bench.Config(Mode5Settings(), pollMs, 150);
    log_ = bench.dir.Path("host" + std::to_string(++hosts_) + ".log");
    host_ = std::make_unique<BackgroundProcess>(bench.HostCommand({"run", config_}), log_);
    ASSERT_TRUE(WaitForText(log_, "cycle ")) << HostLog();
  }
  std::string HostLog() const { return ReadFile(log_); }
  std::string Socket() const { return bench.dir.Path("host.sock"); }
  int StopHost() { return host_->Stop(5000ms); }

  Bench bench;
  std::string config_;
  std::unique_ptr<BackgroundProcess> host_;
  std::string log_;
  int hosts_ = 0;
};

TEST_F(RunningHost, WritesThroughTheSocketWhilePollingAreAllConfirmedAndTheLineStaysClean) {
  bench.StartSensor({"--static"});
  StartHost(50);
  struct stat info {};
  ASSERT_EQ(stat(Socket().c_str(), &info), 0);
  EXPECT_TRUE(S_ISSOCK(info.st_mode));
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  for (int i = 1; i <= 20; ++i) {
    const auto write = bench.Host({"write", config_, "12", "80", std::to_string(i)});
    ASSERT_EQ(write.exitCode, 0) << write.out << write.err;
    EXPECT_NE(write.out.find("register 80 = " + std::to_string(i) + ": confirmed"),
              std::string::npos)
        << write.out;
  }
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

// The sensor stops answering (the simulator is paused) for well over three cycles, then comes
// back: one "link lost", one "link restored", both stored; status meanwhile says there is no
// answer and shows the last record with the time it was stored.
TEST_F(RunningHost, ASilentSensorIsOneLinkLostAndOneLinkRestored) {
  bench.StartSensor({"--static"});
  StartHost(100);
  ASSERT_EQ(kill(bench.SensorPid(), SIGSTOP), 0);
  ASSERT_TRUE(WaitForText(log_, "link     12    lost after 3 failed cycle(s)")) << HostLog();
  // Failures go on being counted, not printed, while the link is lost.
  const auto until = std::chrono::steady_clock::now() + 15s;
  while (QueryCount(bench.Database(), "SELECT COALESCE(MAX(errors), 0) FROM device_errors") < 5) {
    ASSERT_LT(std::chrono::steady_clock::now(), until) << HostLog();
    std::this_thread::sleep_for(50ms);
  }
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

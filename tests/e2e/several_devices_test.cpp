// SPDX-License-Identifier: Apache-2.0
// Several devices and lines: a sensor that is silent or absent never holds up the others, and
// sensors sharing a wire each get their own requests.
#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "Bench.h"
#include "Text.h"

namespace {

long long HistoryCount(const Bench& bench, int dataId) {
  return QueryCount(bench.Database(),
                    "SELECT COUNT(*) FROM history WHERE data_id = " + std::to_string(dataId));
}

std::string Device(int dataId, int slave) {
  return R"({"plugin": "do3008ra.so", "dataId": )" + std::to_string(dataId) +
         R"(, "slaveAddress": )" + std::to_string(slave) + R"(, "settings": {}})";
}

std::string Line(const std::string& device, const std::string& devices) {
  return R"({"device": ")" + device +
         R"(", "pollIntervalMs": 50, "responseTimeoutMs": 100, "devices": [)" + devices + "]}";
}

TEST(SeveralDevices, ADeviceWhoseAddressNobodyAnswersDoesNotStopItsNeighbourOnTheLine) {
  Bench bench;
  bench.StartSensor({"--static"});  // answers address 1 only
  // The silent device first: each round's request to address 1 comes right after a silence.
  // (One address is one device on a line: a second device at address 1 is refused.)
  bench.dir.Write(
      "two.json",
      R"({"lines": [)" + Line(bench.dir.Path("tty"), Device(13, 2) + ", " + Device(12, 1)) + "]}");
  const auto run = bench.Host({"run", "--cycles", "4", bench.dir.Path("two.json")});
  ASSERT_EQ(run.exitCode, 6) << run.err;  // device 13 completed no cycle
  // Every request to address 2 goes unanswered; the requests to address 1 around them are all
  // answered, the first one after each silence included.
  EXPECT_EQ(HistoryCount(bench, 12), 4) << run.out;
  EXPECT_EQ(HistoryCount(bench, 13), 0);
  EXPECT_NE(run.out.find("summary  13    cycles 0  errors 4"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("summary  12    cycles 4  errors 0"), std::string::npos) << run.out;
}

TEST(SeveralDevices, EachLineRunsOnItsOwnAndASilentLineHoldsUpNoOther) {
  Bench bench;
  bench.StartSensor({"--static"});
  BackgroundProcess silent({SIM_PATH, "--link", bench.dir.Path("tty2"), "--drop", "100"},
                           bench.dir.Path("silent.log"));
  for (int i = 0; i < 500 && !std::ifstream(bench.dir.Path("tty2")).good(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  bench.dir.Write("lines.json", R"({"lines": [)" + Line(bench.dir.Path("tty"), Device(12, 1)) +
                                    ", " + Line(bench.dir.Path("tty2"), Device(13, 1)) + "]}");
  const auto run = bench.Host({"run", "--cycles", "5", bench.dir.Path("lines.json")});
  ASSERT_EQ(run.exitCode, 6) << run.err;  // device 13 completed no cycle
  EXPECT_EQ(HistoryCount(bench, 12), 5) << run.out;
  EXPECT_EQ(HistoryCount(bench, 13), 0);
  EXPECT_NE(run.out.find("summary  12    cycles 5  errors 0"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("summary  13    cycles 0  errors 5"), std::string::npos) << run.out;
}

// Two sensors on one line paced like a wire, each finding frames by silence: a request sent
// sooner than 3.5 characters after the answer before it is read with that answer and goes
// unanswered, so a host that skips the silence loses a cycle of either device on every round.
// Back to back, with only the silences between the frames.
TEST(SeveralDevices, TwoSensorsOnAWirePacedLineAnswerEveryRequestOfEveryRound) {
  Bench bench;
  bench.StartSensor({"--static", "--wire", "--sensors", "2"});
  const std::string line = R"({"device": ")" + bench.dir.Path("tty") +
                           R"(", "baudRate": 9600, "pollIntervalMs": 0, "responseTimeoutMs": )" +
                           std::to_string(Bench::kAnswerTimeoutMs) + R"(, "devices": [)" +
                           Device(12, 1) + ", " + Device(13, 2) + "]}";
  bench.dir.Write("wire.json", R"({"lines": [)" + line + "]}");
  const auto run = bench.Host({"run", "--cycles", "6", bench.dir.Path("wire.json")});
  ASSERT_EQ(run.exitCode, 0) << run.out << bench.SensorLog();
  EXPECT_NE(run.out.find("summary  12    cycles 6  errors 0"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("summary  13    cycles 6  errors 0"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("a round of 2 device(s) is 24 frames, 228 characters: 325.0 ms"),
            std::string::npos)
      << run.out;
  // Each device read its own sensor: the second one's humidity is one unit higher.
  const auto humidity = [&bench](int dataId) {
    const auto records = QueryBlobs(
        bench.Database(), "SELECT record FROM history WHERE data_id = " + std::to_string(dataId));
    return records.empty() ? 0u : RecordWord(records.back(), 12);
  };
  EXPECT_EQ(humidity(12), 450u);
  EXPECT_EQ(humidity(13), 460u);
  ASSERT_EQ(bench.StopSensor(), 0);
  EXPECT_EQ(CountOf(bench.SensorLog(), "frame merged"), 0) << bench.SensorLog();
  EXPECT_NE(bench.SensorLog().find("72 answered, 0 merged"), std::string::npos)
      << bench.SensorLog();
}

}  // namespace

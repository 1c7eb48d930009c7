// SPDX-License-Identifier: Apache-2.0
// The alarm walk-through of docs/simulator.md: the temperature written into the simulator's control
// file while host and simulator run raises the alarm, and written back clears it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <fstream>

#include "Bench.h"
#include "Text.h"
#include "Wait.h"

namespace {

using namespace std::chrono_literals;

TEST(SimControl, AValueWrittenIntoTheControlFileRaisesAndClearsTheAlarm) {
  Bench bench;
  const std::string control = bench.dir.Path("control");
  bench.StartSensor({"--static", "--temperature", "22", "--control", control});
  const std::string log = bench.dir.Path("host.out");
  BackgroundProcess host(bench.HostCommand({"run", bench.Config(Mode5Settings(30, 28))}), log);
  ASSERT_TRUE(WaitForText(log, "cycle ")) << ReadFile(log);

  std::ofstream(control) << "input 1 = 315\nnonsense\n";
  ASSERT_TRUE(WaitForText(log, "alarm raised")) << ReadFile(log);
  EXPECT_TRUE(Contains(ReadFile(log), "31.5")) << ReadFile(log);
  std::ofstream(control) << "input 1 = 220\n";
  ASSERT_TRUE(WaitForText(log, "alarm cleared")) << ReadFile(log);

  host.Stop();
  const std::string sensorLog = bench.SensorLog();
  EXPECT_TRUE(Contains(sensorLog, "line 2 'nonsense'")) << sensorLog;
  EXPECT_EQ(bench.StopSensor(), 0) << sensorLog;  // the bad line left it running
}

// A request already on the line when the simulator is told to stop is still served and logged:
// the soak compares the requests the simulator logged with the polls the host counted.
TEST(SimControl, ARequestOnTheLineWhenTheStopComesIsStillServed) {
  Bench bench;
  bench.StartSensor({"--static", "--verbose"});
  const int line = open(bench.dir.Path("tty").c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(line, 0);
  termios raw{};
  ASSERT_EQ(tcgetattr(line, &raw), 0);
  cfmakeraw(&raw);
  cfsetspeed(&raw, B9600);
  ASSERT_EQ(tcsetattr(line, TCSANOW, &raw), 0);
  // Held still, the simulator reads nothing until the stop request is already there.
  ASSERT_EQ(kill(bench.SensorPid(), SIGSTOP), 0);
  const std::string state = "/proc/" + std::to_string(bench.SensorPid()) + "/stat";
  ASSERT_TRUE(WaitUntil("the simulator held still", 10s, [&] {
    const std::string stat = ReadFile(state);
    return stat.find(") T ") != std::string::npos;
  }));
  const uint8_t readFirstBlock[] = {1, 3, 0, 0, 0, 4, 0x44, 0x09};
  ASSERT_EQ(write(line, readFirstBlock, sizeof readFirstBlock), 8);
  ASSERT_EQ(kill(bench.SensorPid(), SIGTERM), 0);
  ASSERT_EQ(kill(bench.SensorPid(), SIGCONT), 0);
  EXPECT_EQ(bench.StopSensor(), 0);
  close(line);
  EXPECT_TRUE(Contains(bench.SensorLog(), "request fc3 0/4: none")) << bench.SensorLog();
}

}  // namespace

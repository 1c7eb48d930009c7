// SPDX-License-Identifier: Apache-2.0
// The alarm walk-through of docs/simulator.md: the temperature written into the simulator's control file
// while host and simulator run raises the alarm, and written back clears it.
#include <gtest/gtest.h>

#include <fstream>

#include "Bench.h"
#include "Text.h"

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

}  // namespace

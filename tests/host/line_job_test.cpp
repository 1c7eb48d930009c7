// SPDX-License-Identifier: Apache-2.0
// What a request hands to a line: once a client is told that nothing was sent, nothing is ever
// sent for it, whether it gave up waiting or the host stopped first, and whether the line
// stopped or went on.
#include <gtest/gtest.h>

#include <thread>

#include "SensorLine.h"
#include "line/LineJob.h"

namespace {

using namespace std::chrono_literals;

TEST(LineJobs, AJobGivenUpOnOrStillQueuedAtTheStopIsNeverSentButReadsStillAnswer) {
  SensorLine bench;
  HostedDevice& sensor = bench.AddSensor(21, 4);
  const auto write = [&] { bench.line->WriteRegisters(sensor, 80, {5}); };

  // Nobody serves the line (a long exchange holds it): the waiter gives up first.
  LineJob late(*bench.line, write, true, "device 21");
  EXPECT_THROW(late.Wait(10ms), NotSent);
  // The host stops with a write still queued, and with a job that only reads what it holds.
  LineJob queued(*bench.line, write, true, "device 21");
  bool read = false;
  LineJob reading(
      *bench.line, [&] { read = true; }, false, "device 21");
  bench.line->Stop();
  bench.line->Close();  // runs what is still queued

  EXPECT_THROW(queued.Wait(10s), NotSent);
  EXPECT_NO_THROW(reading.Wait(10s));
  EXPECT_TRUE(read);
  EXPECT_TRUE(bench.bus->Requests().empty());
  EXPECT_EQ(bench.bus->Slave(4).count(80), 0u);
  EXPECT_THROW(LineJob(*bench.line, write, true, "device 21"), NotSent);
}

TEST(LineJobs, ALineStillRunningSkipsAJobGivenUpOn) {
  SensorLine bench;
  HostedDevice& sensor = bench.AddSensor(21, 4);
  bool ran = false;
  LineJob late(
      *bench.line,
      [&] {
        ran = true;
        bench.line->WriteRegisters(sensor, 80, {5});
      },
      true, "device 21");
  EXPECT_THROW(late.Wait(10ms), NotSent);

  // The line is free again and serves its queue, the job given up on first.
  std::thread serving([&] { bench.line->ServeJobs(); });
  EXPECT_NO_THROW(RunLineJob(
      *bench.line, [] {}, false, 10s, "device 21"));
  bench.line->Stop();
  serving.join();
  EXPECT_FALSE(ran);
  EXPECT_TRUE(bench.bus->Requests().empty());
}

}  // namespace

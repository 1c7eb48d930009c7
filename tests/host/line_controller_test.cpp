// SPDX-License-Identifier: Apache-2.0
// A line with real devices on an in-memory bus: what its link events, write outcomes and posted
// jobs come to, exchange by exchange.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "SensorLine.h"
#include "base/Signals.h"
#include "line/WriteOutcome.h"

namespace {

using ::testing::ElementsAre;
using ::testing::Field;
using ::testing::HasSubstr;
using Fault = MemoryBus::Fault;

constexpr int kReadsPerCycle = 6;

class Line : public ::testing::Test {
 protected:
  SensorLine bench;
  HostedDevice& sensor = bench.AddSensor(21, 4);
};

// ---- link tracking ------------------------------------------------------------------------------

TEST_F(Line, TheLinkIsLostAfterThreeFailedCyclesOnceAndRestoredByTheNextAnswer) {
  bench.line->PollDevice(sensor);
  EXPECT_EQ(sensor.cycles, 1u);
  bench.bus->Fail(Fault::kNoAnswer, 4);
  for (int poll = 0; poll < 4; ++poll) bench.line->PollDevice(sensor);
  EXPECT_TRUE(sensor.link.Lost());
  EXPECT_EQ(sensor.failedPolls, 4u);
  EXPECT_EQ(sensor.errors, 4u);  // one failed exchange ends each cycle
  bench.line->PollDevice(sensor);

  const auto links = bench.EventsOf<LinkEvent>();
  ASSERT_EQ(links.size(), 2u);
  EXPECT_TRUE(links[0].lost);
  EXPECT_EQ(links[0].failedCycles, 3u);
  EXPECT_EQ(links[0].failure, "read holding registers 0/4: Connection timed out");
  EXPECT_FALSE(links[1].lost);
  EXPECT_EQ(links[1].failedCycles, 4u);
  EXPECT_FALSE(sensor.link.Lost());
  EXPECT_EQ(sensor.cycles, 2u);
}

// A silent sensor: the failure that loses the link is shown, then every failure is only counted,
// with one reminder an hour while the link stays lost.
TEST_F(Line, AfterTheLinkIsLostFailuresAreCountedQuietlyWithAReminderAnHour) {
  auto now = std::chrono::steady_clock::now();
  bench.line->SetClock([&now] { return now; });
  bench.bus->Fail(Fault::kNoAnswer, 1000);
  for (int poll = 0; poll < 3; ++poll) bench.line->PollDevice(sensor);
  ASSERT_TRUE(sensor.link.Lost());
  for (int minute = 0; minute < 150; ++minute) {
    now += std::chrono::minutes(1);
    bench.line->PollDevice(sensor);
  }
  std::size_t shown = 0;
  for (const auto& error : bench.EventsOf<ErrorEvent>()) shown += error.quiet ? 0 : 1;
  EXPECT_EQ(shown, 3u);
  EXPECT_EQ(bench.EventsOf<ErrorEvent>().size(), 153u);  // each still counted and stored
  EXPECT_EQ(sensor.errors, 153u);
  EXPECT_THAT(bench.EventsOf<NoticeEvent>(),
              ElementsAre(Field(&NoticeEvent::text, HasSubstr("still lost for 1 h: 63 failed")),
                          Field(&NoticeEvent::text, HasSubstr("still lost for 2 h: 123 failed"))));
}

TEST_F(Line, WhileThePortIsGoneALostDeviceIsNotAskedButItsPollsStillFail) {
  bench.bus->Fail(Fault::kPortGone);
  for (int poll = 0; poll < 3; ++poll) bench.line->PollDevice(sensor);
  ASSERT_TRUE(sensor.link.Lost());
  EXPECT_FALSE(bench.bus->IsOpen());
  const std::size_t asked = bench.bus->Requests().size();
  bench.line->PollDevice(sensor);
  EXPECT_EQ(bench.bus->Requests().size(), asked);
  EXPECT_EQ(sensor.failedPolls, 4u);
  EXPECT_THAT(bench.EventsOf<NoticeEvent>().at(0).text,
              HasSubstr("serial device /dev/memory-bus lost: the device node is gone"));
}

// The count of failed polls is what the sensor can check: a stop that comes between the start of
// a round and its first request ends no poll. (In a child: the stop request stays for good.)
TEST_F(Line, AStopBeforeTheFirstRequestOfARoundCountsNoFailedPoll) {
  EXPECT_EXIT(
      {
        InstallStopHandlers();
        raise(SIGTERM);
        bench.line->PollDevice(sensor);
        std::fprintf(stderr, "%lu failed polls, %zu requests, link %s\n", sensor.failedPolls,
                     bench.bus->Requests().size(), sensor.link.Lost() ? "lost" : "kept");
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "0 failed polls, 0 requests, link kept");
}

// Rounds that leave no time before the next (a slow line, a loaded machine) still leave the
// rollups and retention a slice of their own: without it they never ran again.
TEST(LineIdleWork, RoundsThatOverranTheirIntervalStillLeaveTimeForTheRollups) {
  SensorLine bench(1);
  bench.AddSensor(21, 4);
  using Clock = std::chrono::steady_clock;
  int givenTime = 0;
  bench.line->SetIdleWork([&](Clock::time_point until) {
    givenTime += until > Clock::now() ? 1 : 0;
    std::this_thread::sleep_until(std::max(until, Clock::now()) + std::chrono::milliseconds(2));
  });
  bench.line->Run(6);  // every round after the first starts late: the idle work overran it
  EXPECT_GE(givenTime, 5);
}

// ---- write outcomes -----------------------------------------------------------------------------

TEST_F(Line, AWriteIsConfirmedOnlyByAnEchoOfWhatWasWritten) {
  const WriteResult confirmed = bench.line->WriteRegisters(sensor, 80, {15});
  EXPECT_EQ(confirmed.outcome, "confirmed");
  EXPECT_EQ(confirmed.exitStatus, kExitOk);
  EXPECT_EQ(bench.bus->Slave(4)[80], 15);

  bench.bus->Fail(Fault::kBadAnswer);
  const WriteResult echoed = bench.line->WriteRegisters(sensor, 80, {15});
  EXPECT_EQ(echoed.outcome, "not confirmed (echo 16 for 15)");
  EXPECT_EQ(echoed.exitStatus, kExitNotConfirmed);

  bench.bus->Fail(Fault::kBadAnswer);
  EXPECT_EQ(bench.line->WriteRegisters(sensor, 80, {1, 2}).outcome, "not confirmed (echo 3 for 2)");
}

TEST_F(Line, ARefusedWriteNamesTheExceptionAndASilentOneHasNoAnswer) {
  bench.bus->Fail(Fault::kException, 1, 3);
  const WriteResult refused = bench.line->WriteRegisters(sensor, 2001, {99});
  EXPECT_EQ(refused.outcome, "refused by the sensor: Modbus exception 3 (illegal data value)");
  EXPECT_EQ(refused.exitStatus, kExitRefused);

  bench.bus->Fail(Fault::kNoAnswer);
  const WriteResult silent = bench.line->WriteRegisters(sensor, 2001, {2});
  EXPECT_EQ(silent.outcome, "no answer");
  EXPECT_EQ(silent.exitStatus, kExitNoAnswer);

  const auto writes = bench.EventsOf<WriteEvent>();
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0].outcome, refused.outcome);
  EXPECT_THAT(writes[1].values, ElementsAre(2));
}

// ---- posted jobs --------------------------------------------------------------------------------

TEST_F(Line, PostedJobsRunBetweenTheDevicesOfARoundAndNotAfterClose) {
  bench.AddSensor(22, 5);
  std::vector<std::size_t> exchangesBeforeJob;
  const auto job = [&] { exchangesBeforeJob.push_back(bench.bus->Requests().size()); };
  ASSERT_TRUE(bench.line->Post(job));
  ASSERT_TRUE(bench.line->Post(job));
  bench.line->PollRound();
  // Both ran after the first device's whole cycle, before the second device's.
  EXPECT_THAT(exchangesBeforeJob, ElementsAre(kReadsPerCycle, kReadsPerCycle));

  ASSERT_TRUE(bench.line->Post(job));
  bench.line->Close();  // what was queued still runs
  EXPECT_EQ(exchangesBeforeJob.size(), 3u);
  EXPECT_FALSE(bench.line->Post(job));
  bench.line->PollRound();
  EXPECT_EQ(exchangesBeforeJob.size(), 3u);
}

}  // namespace

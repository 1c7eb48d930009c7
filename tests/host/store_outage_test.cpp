// SPDX-License-Identifier: Apache-2.0
// The store outage's reports: the first failure at once, then at most one a minute, and one
// notice when storing works again; its clock is stepped, nothing waits a minute.
#include <gtest/gtest.h>

#include <chrono>

#include "store/StoreOutage.h"

namespace {

using namespace std::chrono_literals;

TEST(StoreOutage, FirstFailureAtOnceThenOneReportAMinuteAndOneNoticeWhenStoringWorksAgain) {
  StoreOutage outage;
  const auto start = StoreOutage::Clock::time_point{} + 1h;
  EXPECT_EQ(outage.Stored(start), std::nullopt);  // nothing failed: nothing to say

  EXPECT_EQ(outage.Failed("disk full", start).value_or("held back"),
            "store failed, cycle not stored: disk full");
  outage.Lost(3);
  // A cycle every 50 ms for just under a minute: all held back.
  int held = 0;
  auto now = start;
  for (int i = 1; i < 1200; ++i) {
    now = start + i * 50ms;
    if (!outage.Failed("disk full", now)) ++held;
    outage.Lost(2);
  }
  EXPECT_EQ(held, 1199);
  EXPECT_EQ(outage.Failed("disk full", start + 60s).value_or("held back"),
            "store still failing, 1199 more failure(s) since the last report: disk full");
  outage.Lost(2);
  EXPECT_EQ(outage.Failed("disk full", start + 61s), std::nullopt);
  outage.Lost(2);

  EXPECT_EQ(outage.Stored(start + 62s).value_or("nothing"),
            "store works again after 62 s: 1202 cycle(s) with 2405 write(s) not stored");
  EXPECT_EQ(outage.Stored(start + 63s), std::nullopt);

  // A store that fails now and then within a minute of the last report: held back, also its
  // recovery, and told together once a report is due again.
  EXPECT_EQ(outage.Failed("I/O error", start + 70s), std::nullopt);
  outage.Lost(1);
  EXPECT_EQ(outage.Stored(start + 71s), std::nullopt);
  EXPECT_EQ(outage.Failed("I/O error", start + 90s), std::nullopt);
  outage.Lost(1);
  EXPECT_EQ(outage.Stored(start + 119s), std::nullopt);
  EXPECT_EQ(outage.Stored(start + 120s).value_or("nothing"),
            "store works again after 50 s: 2 cycle(s) with 2 write(s) not stored");
  // The next failure comes a minute after the last report: told at once.
  EXPECT_EQ(outage.Failed("I/O error", start + 121s).value_or("held back"),
            "store failed, cycle not stored: I/O error");
}

}  // namespace

// SPDX-License-Identifier: Apache-2.0
// Reopening a serial device that went away, on a clock the test steps.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "MemoryBus.h"
#include "line/PortReopen.h"

namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

struct Reopening {
  std::vector<std::string> reports;
  PortReopen reopen{[this](const std::string& text) { reports.push_back(text); }};
  MemoryBus bus;
  const PortReopen::Clock::time_point lost = PortReopen::Clock::time_point{} + 1h;
};

TEST(PortReopen, WaitsOneSecondThenDoublesUpToThirtyAndSaysOnlyWhatChanges) {
  Reopening r;
  r.bus.FailReopens(6);
  r.reopen.Lost(r.bus, "the device node is gone", r.lost);
  EXPECT_FALSE(r.bus.IsOpen());
  EXPECT_EQ(r.reopen.Due(), r.lost + 1s);
  EXPECT_FALSE(r.reopen.AttemptIfDue(r.bus, r.lost + 999ms));  // not due: no attempt made

  std::vector<long> delays;
  auto now = r.lost + 1s;
  while (!r.reopen.AttemptIfDue(r.bus, now)) {
    delays.push_back(
        std::chrono::duration_cast<std::chrono::seconds>(r.reopen.Due() - now).count());
    now = r.reopen.Due();
  }
  EXPECT_THAT(delays, ElementsAre(2, 4, 8, 16, 30, 30));
  EXPECT_TRUE(r.bus.IsOpen());
  EXPECT_FALSE(r.reopen.Missing());
  EXPECT_EQ(r.reopen.Due(), PortReopen::Clock::time_point::max());
  // Lost, the first failed attempt (the reason never changed), back.
  ASSERT_EQ(r.reports.size(), 3u);
  EXPECT_EQ(r.reports[0],
            "serial device /dev/memory-bus lost: the device node is gone; reopening (first "
            "attempt in 1 s, then doubling up to 30 s)");
  EXPECT_THAT(r.reports[1], HasSubstr("not reopened: cannot open serial device /dev/memory-bus"));
  EXPECT_EQ(r.reports[2],
            "serial device /dev/memory-bus reopened after 7 attempt(s), 91 s without it");
}

}  // namespace

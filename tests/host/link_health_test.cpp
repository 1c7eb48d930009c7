// SPDX-License-Identifier: Apache-2.0
// A device's link without a line: a completed cycle starts the count of failed cycles afresh.
#include <gtest/gtest.h>

#include "line/LinkHealth.h"

namespace {

TEST(LinkHealth, AfterARestoreTheLinkIsLostOnlyAfterAsManyFailedCyclesAgain) {
  LinkHealth link;
  const auto now = std::chrono::steady_clock::now();
  for (int poll = 0; poll < 3; ++poll) link.Track(false, now, 3);
  ASSERT_TRUE(link.Lost());
  const LinkNews restored = link.Track(true, now, 3);
  EXPECT_TRUE(restored.restored);
  EXPECT_EQ(restored.failedCycles, 3u);
  EXPECT_FALSE(link.Track(false, now, 3).lost);
  EXPECT_FALSE(link.Track(false, now, 3).lost);
  const LinkNews lost = link.Track(false, now, 3);
  EXPECT_TRUE(lost.lost);
  EXPECT_EQ(lost.failedCycles, 3u);
  EXPECT_FALSE(lost.stillLostHours);
}

}  // namespace

// SPDX-License-Identifier: Apache-2.0
#include "line/LinkHealth.h"

LinkNews LinkHealth::Track(bool completed, TimePoint now, unsigned long lostAfter) {
  LinkNews news;
  if (completed) {
    news.restored = lost_;
    news.failedCycles = failedCycles_;
    lost_ = false;
    failedCycles_ = 0;
    return news;
  }
  news.failedCycles = ++failedCycles_;
  if (lost_ && now >= remindAt_) {
    remindAt_ = now + kStillLostEvery;
    news.stillLostHours = std::chrono::duration_cast<std::chrono::hours>(now - lostAt_).count();
  }
  if (!lost_ && failedCycles_ >= lostAfter) {
    lost_ = true;
    lostAt_ = now;
    remindAt_ = now + kStillLostEvery;
    news.lost = true;
  }
  return news;
}

// SPDX-License-Identifier: Apache-2.0
#include "line/LineSilence.h"

#include <sys/prctl.h>
#include <time.h>

#include <cerrno>

namespace {

// A sleeping thread wakes up to 50 us late by default (its timer slack): on a fast line that is
// a third of a silence, every frame. One nanosecond makes the wake-up as exact as the timer.
void TightenTimerSlack() {
  thread_local const bool tightened = prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0) == 0;
  (void)tightened;
}

}  // namespace

LineSilence::Clock::time_point LineSilence::SentBy(Clock::time_point when,
                                                   unsigned characters) const {
  return when + timing_.character * characters;
}

void LineSilence::Keep() const {
  // steady_clock is CLOCK_MONOTONIC on Linux: sleep to the absolute time, so a signal or a late
  // wake-up never lengthens the silence beyond what is needed.
  TightenTimerSlack();
  const auto since = NextFrameAt().time_since_epoch();
  if (NextFrameAt() <= Clock::now()) return;
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since);
  timespec until{static_cast<time_t>(seconds.count()),
                 static_cast<long>(std::chrono::nanoseconds(since - seconds).count())};
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
  }
}

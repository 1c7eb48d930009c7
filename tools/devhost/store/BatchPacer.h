// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <algorithm>
#include <chrono>

// Paces work done in batches after a poll round: a batch starts only while one as long as the
// longest so far (and at least kRoom) still ends before the next round is due. Keeps the
// longest batch and the most a round was delayed by one that took longer than that.
class BatchPacer {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds kRoom{20};

  // The first batch after a round needs only kRoom: one batch that once ran long (a loaded
  // machine) must not hold the work back for good on a line that leaves little time.
  bool Fits(Clock::time_point deadline, bool first = false) const {
    const Clock::duration need =
        first ? Clock::duration(kRoom) : std::max<Clock::duration>(longest_, kRoom);
    return Clock::now() + need < deadline;
  }
  // Runs `batch` once and measures it.
  template <typename Batch>
  auto Run(Clock::time_point deadline, Batch&& batch) {
    const auto started = Clock::now();
    struct Measure {
      BatchPacer& pacer;
      Clock::time_point started, deadline;
      ~Measure() { pacer.Ran(started, Clock::now(), deadline); }
    } measure{*this, started, deadline};
    return batch();
  }
  std::chrono::microseconds Longest() const { return longest_; }
  std::chrono::microseconds Delay() const { return delay_; }

 private:
  void Ran(Clock::time_point started, Clock::time_point ended, Clock::time_point deadline) {
    using std::chrono::duration_cast;
    longest_ = std::max(longest_, duration_cast<std::chrono::microseconds>(ended - started));
    if (ended > deadline) {
      delay_ = std::max(delay_, duration_cast<std::chrono::microseconds>(ended - deadline));
    }
  }

  std::chrono::microseconds longest_{0};
  std::chrono::microseconds delay_{0};
};

// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <chrono>
#include <optional>
#include <string>

// What a poll brought about for the link: lost (after `lostAfter` failed cycles in a row),
// restored, or a reminder that it is still lost, with the failed cycles counted then.
struct LinkNews {
  bool lost = false;
  bool restored = false;
  std::optional<long> stillLostHours;
  unsigned long failedCycles = 0;
};

// One device's link as its polls tell it: consecutive poll cycles that did not complete,
// whether that counts as lost, and the failure that was the last. A lost link is reminded of
// once every kStillLostEvery, not at each failed cycle.
class LinkHealth {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;
  static constexpr std::chrono::hours kStillLostEvery{1};

  // A poll of the device, completed or not, at `now`.
  LinkNews Track(bool completed, TimePoint now, unsigned long lostAfter);
  // A failure on the line (not the store's): the one a lost link and the status name.
  void NoteFailure(const std::string& what) { lastFailure_ = what; }
  bool Lost() const { return lost_; }
  unsigned long FailedCycles() const { return failedCycles_; }
  const std::string& LastFailure() const { return lastFailure_; }

 private:
  unsigned long failedCycles_ = 0;
  bool lost_ = false;
  TimePoint lostAt_{};    // when the link counted as lost
  TimePoint remindAt_{};  // when the next "still lost" line is due
  std::string lastFailure_;
};

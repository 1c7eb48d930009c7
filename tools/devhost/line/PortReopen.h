// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <chrono>
#include <functional>
#include <string>

class Bus;

// Brings a line back whose serial device went away (a USB adapter unplugged, a node replaced):
// the device is given up at once, so that a new node at the same path can be locked, and opened
// again 1 s later, then after twice as long each time up to 30 s, until it opens. Meanwhile the
// line's exchanges fail at once. Says so once when the device goes, once when it is back, and
// in between only when the reason it does not open changes (gone, then taken by another process).
class PortReopen {
 public:
  using Clock = std::chrono::steady_clock;
  using Report = std::function<void(const std::string& text)>;
  static constexpr std::chrono::seconds kFirstDelay{1};
  static constexpr std::chrono::seconds kLongestDelay{30};

  explicit PortReopen(Report report) : report_(std::move(report)) {}

  // The line's device is gone for `reason`: drops it and plans the first attempt.
  void Lost(Bus& line, const std::string& reason, Clock::time_point now);
  // Opens the device again when an attempt is due; true when the line is open afterwards.
  bool AttemptIfDue(Bus& line, Clock::time_point now);
  // When the next attempt is due; time_point::max() while no device is missing.
  Clock::time_point Due() const { return missing_ ? due_ : Clock::time_point::max(); }
  bool Missing() const { return missing_; }

 private:
  Report report_;
  bool missing_ = false;
  Clock::time_point lostAt_;
  Clock::time_point due_;
  Clock::duration delay_ = kFirstDelay;
  unsigned long attempts_ = 0;
  std::string lastReason_;
};

// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <chrono>
#include <string>

// Progress of long work on standard error: nothing for work done within a second, then one
// line at most every second.
class Progress {
 public:
  void Say(const std::string& text);
  // Ends the progress line once one was shown.
  void Done();

 private:
  using Clock = std::chrono::steady_clock;
  Clock::time_point started_ = Clock::now();
  Clock::time_point lastShown_{};
  bool shown_ = false;
};

// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <algorithm>
#include <chrono>

#include "line/FrameTiming.h"

// The silence that ends every frame on a Modbus RTU line, kept before each request: every other
// device on the line finds where a frame starts by that silence, and reads an answer and a
// request sent sooner as one frame whose check fails. Counted from the last byte that went
// either way.
class LineSilence {
 public:
  using Clock = std::chrono::steady_clock;

  explicit LineSilence(const FrameTiming& timing) : timing_(timing) {}
  void Retime(const FrameTiming& timing) { timing_ = timing; }
  const FrameTiming& Timing() const { return timing_; }

  // A byte was last on the line at `when` (a byte read: when it came; bytes written: when the
  // last of them will have left).
  void Heard(Clock::time_point when) { last_ = std::max(last_, when); }
  // `characters` characters written at `when` leave the line at this time.
  Clock::time_point SentBy(Clock::time_point when, unsigned characters) const;
  // The earliest start of the next frame.
  Clock::time_point NextFrameAt() const { return last_ + timing_.silence; }
  // Sleeps until the next frame may start.
  void Keep() const;

 private:
  FrameTiming timing_;
  Clock::time_point last_{};
};

// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

// Finds frames on a Modbus RTU line by silence, as a slave does: a frame ends when the line has
// been quiet for 3.5 characters (1.75 ms above 19200 baud), a gap of more than 1.5 characters
// inside one breaks it, and a frame that starts sooner than the silence after the one before
// (an answer included) is read together with it: no device on the line can take it. On a
// wire-paced line each character takes its time on the line: bytes written at once arrive one
// character time after another.
class FrameFinder {
 public:
  using Clock = std::chrono::steady_clock;
  // The longest Modbus RTU frame: a frame heard is never kept longer.
  static constexpr std::size_t kLongestFrame = 256;

  struct Timing {
    std::chrono::nanoseconds character{0};  // 0: bytes take no time (an unpaced line)
    std::chrono::nanoseconds silence{0};
    std::chrono::nanoseconds innerGap{0};
  };
  // The timing at this speed, with this many bits a character; `paced`: characters take
  // their wire time.
  static Timing TimingOf(int baud, int bitsPerCharacter, bool paced);

  struct Frame {
    std::vector<uint8_t> bytes;
    Clock::time_point start;
    Clock::time_point end;                  // of its last character
    std::chrono::nanoseconds gapBefore{0};  // from the end of the frame before
    bool merged = false;                    // started within the silence after the one before
    bool broken = false;                    // a gap inside it was longer than 1.5 characters
  };

  void Retime(const Timing& timing) { timing_ = timing; }
  const Timing& Times() const { return timing_; }
  // Bytes read from the line at `when`.
  void Received(const uint8_t* bytes, std::size_t count, Clock::time_point when);
  // The frame heard, once the line has been quiet for the silence by `now`; on an unpaced line
  // also as soon as a request of a known function is whole, as libmodbus finds it, so that a
  // pseudo-terminal's answers come at once.
  std::optional<Frame> Complete(Clock::time_point now);
  // When the frame being heard ends, if the line stays quiet; nothing while none is.
  std::optional<Clock::time_point> Due() const;
  // The time the line is busy with characters already on it.
  Clock::time_point LineFreeAt() const { return lastEnd_; }
  // Our own frame's last character left at `end`: the next one must wait for the silence after.
  void Sent(Clock::time_point end) { lastEnd_ = std::max(lastEnd_, end); }

 private:
  Timing timing_;
  std::optional<Frame> hearing_;
  Clock::time_point lastEnd_{};  // the end of the last character either way
};

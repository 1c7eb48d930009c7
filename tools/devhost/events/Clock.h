// SPDX-License-Identifier: Apache-2.0
#pragma once
// The one place the host reads the time of day. A board without a battery-backed clock starts
// with a wrong one that NTP steps later; what retention needs to know about that is read here
// too, so that a test can drive all of it in-process (SetClockSource).

#include <chrono>
#include <ctime>
#include <functional>
#include <optional>

struct ClockReading {
  std::time_t wall = 0;
  std::chrono::steady_clock::time_point steady{};
  // What the kernel says (adjtimex, STA_UNSYNC); nothing when it cannot be asked.
  std::optional<bool> synchronised;
};

using ClockSource = std::function<ClockReading()>;

// The system's clocks and the kernel's synchronisation state.
ClockReading ReadSystemClock();
// Through the installed source (the system's unless a test replaced it).
ClockReading ReadClock();
// The time of day every stamp the host writes is made from.
std::time_t WallNow();
// The steady clock as the same source gives it.
std::chrono::steady_clock::time_point SteadyNow();
// Replaces the source for the whole process; an empty one restores the system's.
void SetClockSource(ClockSource source);

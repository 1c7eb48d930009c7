// SPDX-License-Identifier: Apache-2.0
#include "events/Clock.h"

#include <sys/timex.h>

#include <mutex>

namespace {

std::mutex clockSourceMutex;
ClockSource clockSource;

}  // namespace

ClockReading ReadSystemClock() {
  ClockReading reading;
  reading.wall = std::time(nullptr);
  reading.steady = std::chrono::steady_clock::now();
  timex state{};
  const int result = adjtimex(&state);
  // TIME_ERROR also means unsynchronised; a failed call leaves the question open.
  if (result != -1) reading.synchronised = result != TIME_ERROR && !(state.status & STA_UNSYNC);
  return reading;
}

ClockReading ReadClock() {
  {
    std::lock_guard<std::mutex> lock(clockSourceMutex);
    if (clockSource) return clockSource();
  }
  return ReadSystemClock();
}

std::time_t WallNow() {
  {
    std::lock_guard<std::mutex> lock(clockSourceMutex);
    if (clockSource) return clockSource().wall;
  }
  return std::time(nullptr);
}

std::chrono::steady_clock::time_point SteadyNow() {
  {
    std::lock_guard<std::mutex> lock(clockSourceMutex);
    if (clockSource) return clockSource().steady;
  }
  return std::chrono::steady_clock::now();
}

void SetClockSource(ClockSource source) {
  std::lock_guard<std::mutex> lock(clockSourceMutex);
  clockSource = std::move(source);
}

// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <map>
#include <mutex>

// The cycles a line completed, for those that wait on other threads for a device's next one
// (a status request through the control socket). The line notes each cycle; Close wakes every
// waiter for good once the line ends its service.
class CycleProgress {
 public:
  // The line's thread: the device completed a cycle at `when`.
  void Note(uint32_t dataId, std::time_t when);
  // Any thread: waits until the device completes a cycle in a second after `second`; false when
  // `deadline` came first.
  bool WaitForCycleAfter(uint32_t dataId, std::time_t second,
                         std::chrono::steady_clock::time_point deadline);
  void Close();

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<uint32_t, std::time_t> lastCycle_;  // data id -> time of its last completed cycle
  bool closed_ = false;
};

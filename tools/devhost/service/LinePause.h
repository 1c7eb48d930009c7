// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>

class Host;

// Every line of a running host parked between two exchanges, each on a job of its own, for as
// long as this lives: what only a line's thread touches (its event fanout, its devices, the sinks
// on it) may then be changed from another thread. Each line goes on polling where it was.
class LinePause {
 public:
  explicit LinePause(Host& host);
  // Lets the lines go.
  ~LinePause();
  LinePause(const LinePause&) = delete;
  LinePause& operator=(const LinePause&) = delete;

  // Until every line that still runs has parked; false when `limit` passed first.
  bool Wait(std::chrono::milliseconds limit);

 private:
  struct Shared {
    std::mutex mutex;
    std::condition_variable changed;
    std::size_t parked = 0;
    bool released = false;
  };
  std::shared_ptr<Shared> shared_;
  std::size_t expected_ = 0;
};

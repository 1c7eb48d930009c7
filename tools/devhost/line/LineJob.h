// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

class LineController;

// A job a request hands to a line: nothing was sent to a sensor, and nothing will be. A request
// refused with it may be repeated.
struct NotSent : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// What a job that went wrong after it started said; it may have been carried out in part.
struct JobFailed : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A job handed to a line's thread for a thread that waits for it. A job the line does not start
// in time is cancelled, and a job that would talk on the bus is not started once the host
// stops, so that a client told "not sent" is never proved wrong later; a job that started is
// waited for to its end.
class LineJob {
 public:
  // Posts it; NotSent when the line takes no more jobs. `what` names the device in messages.
  LineJob(LineController& line, std::function<void()> job, bool talksOnBus, std::string what);
  // Until it ran; NotSent when it did not start within `patience` or will never run, JobFailed
  // when it threw.
  void Wait(std::chrono::milliseconds patience);

  struct State;

 private:
  std::shared_ptr<State> state_;
  std::string what_;
};

inline void RunLineJob(LineController& line, std::function<void()> job, bool talksOnBus,
                       std::chrono::milliseconds patience, std::string what) {
  LineJob(line, std::move(job), talksOnBus, std::move(what)).Wait(patience);
}

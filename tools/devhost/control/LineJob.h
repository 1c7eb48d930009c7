#pragma once

#include <chrono>
#include <functional>
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

// Runs `job` on the line's thread and waits for it. A job the line does not start within
// `patience` is cancelled, and a job that would talk on the bus is not started once the host
// stops, so that a client told "not sent" is never proved wrong later; a job that started is
// waited for to its end. `what` names the device in messages.
void RunLineJob(LineController& line, const std::function<void()>& job, bool talksOnBus,
                std::chrono::milliseconds patience, const std::string& what);

// SPDX-License-Identifier: Apache-2.0
#include "Wait.h"

#include <cstdlib>
#include <iostream>
#include <sstream>
#include <thread>

#include "Process.h"

#ifndef E2E_TIME_SCALE
#define E2E_TIME_SCALE 1
#endif

double TimeScale() {
  static const double scale = [] {
    const char* text = std::getenv("E2E_TIME_SCALE");
    char* end = nullptr;
    const double chosen = text != nullptr ? std::strtod(text, &end) : 0;
    if (text != nullptr && end != text && *end == '\0' && chosen >= 1) return chosen;
    return static_cast<double>(E2E_TIME_SCALE);
  }();
  return scale;
}

std::chrono::milliseconds Scaled(std::chrono::milliseconds limit) {
  return std::chrono::milliseconds(static_cast<long long>(limit.count() * TimeScale()));
}

std::string ProgramsState() { return BackgroundProcess::AllStates(); }

testing::AssertionResult WaitUntil(const std::string& what, std::chrono::milliseconds limit,
                                   const std::function<bool()>& done) {
  const auto scaled = Scaled(limit);
  const auto started = std::chrono::steady_clock::now();
  const auto until = started + scaled;
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) {
      std::ostringstream message;
      message << "waited " << scaled.count() / 1000.0 << " s (" << limit.count() / 1000.0 << " s x "
              << TimeScale() << ") for " << what << "; it did not come.\n"
              << ProgramsState();
      std::cerr << message.str() << std::endl;
      return testing::AssertionFailure() << message.str();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return testing::AssertionSuccess();
}

// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <chrono>
#include <optional>
#include <string>

// What a person is told about a store that fails (a full disk, an I/O error): not every lost
// cycle, which at a fast poll would be many lines a second, but the first failure at once, then
// at most one report a minute with how many failures went unreported in between, and one notice
// at the first cycle stored again with what was lost meanwhile. A failure or a recovery within a
// minute of the last report is told with the next report or notice that is due. The caller
// passes the time, so the rules hold whatever the clock of the caller.
class StoreOutage {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::seconds kReportEvery{60};

  // A cycle was not stored because of `what`; the text to report now, or nothing when it is
  // held back. `atOnce`: a failure a person must hear now (a file cut short), never held back.
  std::optional<std::string> Failed(const std::string& what, Clock::time_point now,
                                    bool atOnce = false);
  // The writes of a lost cycle, counted for the notice.
  void Lost(unsigned long writes) { lostWrites_ += writes; }
  // A cycle was stored; the "works again" notice when one is due.
  std::optional<std::string> Stored(Clock::time_point now);

 private:
  std::optional<Clock::time_point> lastReport_;
  Clock::time_point since_;       // the first lost cycle the next notice accounts for
  unsigned long unreported_ = 0;  // failures since the last report
  unsigned long lostCycles_ = 0;  // since the last notice (or the start)
  unsigned long lostWrites_ = 0;
  bool reported_ = false;  // a failure was reported that no notice has answered yet
};

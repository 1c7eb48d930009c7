// SPDX-License-Identifier: Apache-2.0
#include "store/StoreOutage.h"

std::optional<std::string> StoreOutage::Failed(const std::string& what, Clock::time_point now,
                                               bool atOnce) {
  if (lostCycles_ == 0) since_ = now;
  ++lostCycles_;
  if (!atOnce && lastReport_ && now - *lastReport_ < kReportEvery) {
    ++unreported_;
    return std::nullopt;
  }
  const std::string text = reported_ || unreported_ > 0
                               ? "store still failing, " + std::to_string(unreported_) +
                                     " more failure(s) since the last report: " + what
                               : "store failed, cycle not stored: " + what;
  lastReport_ = now;
  unreported_ = 0;
  reported_ = true;
  return text;
}

std::optional<std::string> StoreOutage::Stored(Clock::time_point now) {
  if (lostCycles_ == 0) return std::nullopt;
  // Failures that were held back and never reported are told once a report is due again.
  if (!reported_ && lastReport_ && now - *lastReport_ < kReportEvery) return std::nullopt;
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now - since_).count();
  const std::string text = "store works again after " + std::to_string(seconds) +
                           " s: " + std::to_string(lostCycles_) + " cycle(s) with " +
                           std::to_string(lostWrites_) + " write(s) not stored";
  lostCycles_ = 0;
  lostWrites_ = 0;
  unreported_ = 0;
  reported_ = false;
  return text;
}

// SPDX-License-Identifier: Apache-2.0
#include "line/PortReopen.h"

#include <algorithm>

#include "line/Bus.h"

namespace {

std::string Seconds(PortReopen::Clock::duration span) {
  return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(span).count()) + " s";
}

}  // namespace

void PortReopen::Lost(Bus& line, const std::string& reason, Clock::time_point now) {
  line.Drop();
  if (missing_) return;
  missing_ = true;
  lostAt_ = now;
  delay_ = kFirstDelay;
  due_ = now + delay_;
  attempts_ = 0;
  lastReason_.clear();
  report_("serial device " + line.Device() + " lost: " + reason + "; reopening (first attempt in " +
          Seconds(kFirstDelay) + ", then doubling up to " + Seconds(kLongestDelay) + ")");
}

bool PortReopen::AttemptIfDue(Bus& line, Clock::time_point now) {
  if (!missing_) return line.IsOpen();
  if (now < due_) return false;
  ++attempts_;
  try {
    line.Reopen();
  } catch (const SerialError& error) {
    delay_ = std::min<Clock::duration>(delay_ * 2, kLongestDelay);
    due_ = now + delay_;
    if (error.what() != lastReason_) {
      lastReason_ = error.what();
      report_("serial device " + line.Device() + " not reopened: " + lastReason_ +
              "; next attempt in " + Seconds(delay_));
    }
    return false;
  }
  missing_ = false;
  report_("serial device " + line.Device() + " reopened after " + std::to_string(attempts_) +
          " attempt(s), " + Seconds(now - lostAt_) + " without it");
  return true;
}

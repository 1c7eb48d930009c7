// SPDX-License-Identifier: Apache-2.0
#include "FaultPlan.h"

FaultPlan::FaultPlan(const FaultSettings& settings) : settings_(settings), random_(settings.seed) {}

Fault FaultPlan::Decide(uint8_t function) {
  if (settings_.neverAnswerInput && function == 4) return Fault::kDrop;
  // One draw per request keeps a seeded run reproducible whatever the shares are.
  int roll = static_cast<int>(random_() % 100);
  if ((roll -= settings_.dropPercent) < 0) return Fault::kDrop;
  if ((roll -= settings_.corruptPercent) < 0) return Fault::kCorrupt;
  if ((roll -= settings_.exceptionPercent) < 0) return Fault::kException;
  if ((roll -= settings_.latePercent) < 0) return Fault::kLate;
  return Fault::kNone;
}

const char* FaultName(Fault fault) {
  switch (fault) {
    case Fault::kDrop:
      return "dropped";
    case Fault::kCorrupt:
      return "corrupted CRC";
    case Fault::kException:
      return "exception";
    case Fault::kLate:
      return "late";
    case Fault::kNone:
      break;
  }
  return "none";
}

// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>

#include "store/StoreConnection.h"

// The spans of stamps written while the clock was in doubt (store/Retention.h: ClockTrust): no
// prune deletes a row stamped inside one while it is held. A pending span (held until the clock
// is trusted again) widens with each check; once settled it is held for the longest retention.
class RetentionHolds {
 public:
  explicit RetentionHolds(StoreConnection& store) : store_(store) {}

  // Makes the table where the database lacks it (a prune needs it); throws StoreError.
  void Ensure();
  // Adds the span, or widens the pending one.
  void HoldSpan(const std::string& keptFrom, const std::string& keptTo);
  // Pending spans are held until `until`; spans held until before `now` are let go.
  void Settle(const std::string& until, const std::string& now);

 private:
  StoreConnection& store_;
};

// SPDX-License-Identifier: Apache-2.0
#include "store/RetentionHolds.h"

#include <sqlite3.h>

#include "store/StoreSchema.h"

void RetentionHolds::Ensure() { EnsureRetentionHolds(store_.Handle()); }

void RetentionHolds::HoldSpan(const std::string& keptFrom, const std::string& keptTo) {
  Ensure();
  sqlite3* db = store_.Handle();
  // One pending span per doubt: while it lasts, each check widens it.
  Statement widen(db,
                  "UPDATE retention_holds SET kept_from = min(kept_from, ?1), kept_to = "
                  "max(kept_to, ?2) WHERE held_until = ''");
  widen.Bind(1, keptFrom).Bind(2, keptTo).Step();
  if (sqlite3_changes(db) > 0) return;
  Statement add(db,
                "INSERT INTO retention_holds (kept_from, kept_to, held_until) VALUES (?1, ?2, '')");
  add.Bind(1, keptFrom).Bind(2, keptTo).Step();
}

void RetentionHolds::Settle(const std::string& until, const std::string& now) {
  sqlite3* db = store_.Handle();
  Statement settle(db, "UPDATE retention_holds SET held_until = ?1 WHERE held_until = ''");
  settle.Bind(1, until).Step();
  Statement release(db, "DELETE FROM retention_holds WHERE held_until < ?1");
  release.Bind(1, now).Step();
}

// SPDX-License-Identifier: Apache-2.0
// The spans of stamps retention holds: rows written while the clock could not be trusted.
#include <sqlite3.h>

#include "store/Store.h"

void Store::EnsureHolds() {
  Execute(
      "CREATE TABLE IF NOT EXISTS retention_holds (kept_from TEXT NOT NULL, kept_to TEXT NOT "
      "NULL, held_until TEXT NOT NULL)");
}

std::vector<Store::Hold> Store::Holds() {
  Statement statement(db_, "SELECT kept_from, kept_to, held_until FROM retention_holds");
  std::vector<Hold> holds;
  while (statement.Step()) {
    holds.push_back({statement.Text(0), statement.Text(1), statement.Text(2)});
  }
  return holds;
}

void Store::HoldSpan(const std::string& keptFrom, const std::string& keptTo) {
  EnsureHolds();
  // One pending span per doubt: while it lasts, each check widens it.
  Statement widen(db_,
                  "UPDATE retention_holds SET kept_from = min(kept_from, ?1), kept_to = "
                  "max(kept_to, ?2) WHERE held_until = ''");
  widen.Bind(1, keptFrom).Bind(2, keptTo).Step();
  if (sqlite3_changes(db_) > 0) return;
  Statement add(db_,
                "INSERT INTO retention_holds (kept_from, kept_to, held_until) VALUES (?1, ?2, '')");
  add.Bind(1, keptFrom).Bind(2, keptTo).Step();
}

void Store::SettleHolds(const std::string& until, const std::string& now) {
  Statement settle(db_, "UPDATE retention_holds SET held_until = ?1 WHERE held_until = ''");
  settle.Bind(1, until).Step();
  Statement release(db_, "DELETE FROM retention_holds WHERE held_until < ?1");
  release.Bind(1, now).Step();
}

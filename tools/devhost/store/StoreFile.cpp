// SPDX-License-Identifier: Apache-2.0
// The database file under the host: whether it takes writes, and whether it is still at its path.
#include <sqlite3.h>

#include "store/Store.h"

void Store::SetBusyTimeout(int milliseconds) { sqlite3_busy_timeout(db_, milliseconds); }

void Store::SetAutoCheckpoint(int pages) { sqlite3_wal_autocheckpoint(db_, pages); }

bool Store::AtPath() {
  int moved = 0;
  if (sqlite3_file_control(db_, "main", SQLITE_FCNTL_HAS_MOVED, &moved) != SQLITE_OK) return true;
  return moved == 0;
}

void Store::ProveWritable(uint32_t dataId) {
  const std::vector<unsigned char> record(47, 0);
  try {
    Begin();
    AddHistory(dataId, "0000-00-00 00:00:00", record.data(), 47);
    PutLastRecord(dataId, 0, "0000-00-00 00:00:00", record.data(), 47);
    Rollback();
  } catch (const StoreError& error) {
    // Another process holding a write lock is a passing act (someone reading with sqlite3).
    const bool busy = (sqlite3_extended_errcode(db_) & 0xff) == SQLITE_BUSY;
    try {
      Rollback();
    } catch (const StoreError&) {
    }
    if (busy) return;
    throw StoreError("database " + path_ + " takes no writes: " + error.what());
  }
}

std::string Store::NewestHistoryTime() {
  const auto statement = Use(kNewestHistory);
  return statement->Step() ? statement->Text(0) : std::string();
}

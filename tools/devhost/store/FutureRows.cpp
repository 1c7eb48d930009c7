// SPDX-License-Identifier: Apache-2.0
#include "store/FutureRows.h"

#include <sqlite3.h>

#include "events/TimeText.h"
#include "store/Rollups.h"
#include "store/StoreSchema.h"

namespace {

constexpr long long kBatchRows = 500;

bool TableExists(sqlite3* db, const std::string& table) {
  Statement statement(db, "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = ?1");
  statement.Bind(1, table);
  return statement.Step() && statement.Integer(0) > 0;
}

// Deletes the rows of `table` whose `time` lies later than `now`, in batches; `key` names a
// row: "id", or the rollups' "data_id, time".
long long RemoveLater(StoreConnection& store, const std::string& table, const std::string& key,
                      const std::string& now, const std::function<bool(long long)>& goOn,
                      long long deletedBefore) {
  if (!TableExists(store.Handle(), table)) return 0;
  Statement remove(store.Handle(), ("DELETE FROM " + table + " WHERE (" + key + ") IN (SELECT " +
                                    key + " FROM " + table + " WHERE time > ?1 LIMIT ?2)")
                                       .c_str());
  long long deleted = 0;
  for (;;) {
    const long long batch = store.InTransaction([&] {
      remove.Bind(1, now).Bind(2, kBatchRows).Step();
      return static_cast<long long>(sqlite3_changes(store.Handle()));
    });
    deleted += batch;
    if (batch < kBatchRows || !goOn(deletedBefore + deleted)) return deleted;
  }
}

}  // namespace

FutureRows FindFutureRows(StoreConnection& store, std::time_t now) {
  Statement find(store.Handle(),
                 "SELECT count(*), min(time), max(time) FROM history WHERE time > ?1");
  find.Bind(1, StoreTimeText(now));
  FutureRows rows;
  if (find.Step()) {
    rows.count = find.Integer(0);
    rows.first = find.Text(1);
    rows.last = find.Text(2);
  }
  return rows;
}

std::string FutureRowsText(const FutureRows& rows, std::time_t now) {
  return std::to_string(rows.count) + " history row(s) are stamped later than now (" +
         IsoTimeText(now) + "), from " + IsoFromStoreText(rows.first) + " to " +
         IsoFromStoreText(rows.last);
}

long long RemoveFutureRows(StoreConnection& store, std::time_t now,
                           const std::function<bool(long long deleted)>& goOn) {
  const std::string later = StoreTimeText(now);
  long long deleted = 0;
  for (const char* table :
       {"history", "alarm_events", "link_events", "threshold_values", "analog_reports"}) {
    deleted += RemoveLater(store, table, "id", later, goOn, deleted);
  }
  for (const Level level : {Level::kMinute, Level::kHour}) {
    deleted += RemoveLater(store, FactsOf(level).table, "data_id, time", later, goOn, deleted);
  }
  store.InTransaction([&] {
    if (!TableExists(store.Handle(), "retention_holds")) return 0LL;
    Statement release(store.Handle(), "DELETE FROM retention_holds WHERE kept_from > ?1");
    release.Bind(1, later).Step();
    return 0LL;
  });
  return deleted;
}

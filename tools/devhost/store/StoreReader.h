// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "events/Event.h"
#include "store/RestoredState.h"
#include "store/Rollups.h"
#include "store/Store.h"
#include "store/StoreConnection.h"

// What the database holds, as history, export and plots list it, and as a starting host
// restores it (a device's last record and alarm states). Reads on the connection it is given:
// a command's own, or a line's at its start.
class StoreReader {
 public:
  explicit StoreReader(StoreConnection& connection) : connection_(connection) {}

  const std::string& Path() const { return connection_.Path(); }
  // Whether the database has a history table: an empty file, or another program's database,
  // has none.
  bool HasHistory();
  // The newest `query.limit` records in the range, handed out oldest first (by time).
  std::vector<HistoryRow> History(const RowQuery& query);
  StoredRows Events(EventTable table, const RowQuery& query);
  // The data ids that have a record stored, in order.
  std::vector<uint32_t> StoredDevices();
  // The length of the device's newest record in the range whose length is one of `lengths`;
  // nothing when the range holds none.
  std::optional<std::size_t> NewestRecordLength(uint32_t dataId, const TimeRange& range,
                                                const std::vector<std::size_t>& lengths);
  // Every measurement of the device in the range, oldest first, streamed to `take`: the values
  // of `columns` (history columns, HistoryColumns()); a row whose first one is NULL (a record of
  // another type) is passed over.
  void ForEachSample(uint32_t dataId, const TimeRange& range,
                     const std::vector<std::string>& columns,
                     const std::function<void(const Sample&)>& take);
  // The newest time (store text) in history; empty when it holds none.
  std::string NewestHistoryTime();
  std::optional<StoredRecord> LastRecord(uint32_t dataId);
  // The last change of every alarm of a device: its active flag as last known, and since when.
  std::map<std::string, AlarmEvent> LastAlarmEvents(uint32_t dataId);

  // How far the rollups go (store/Rollups.h).
  RollupState Rollups();
  // The first and last time (store text) a level holds for the device (or all) in the range;
  // rollup buckets from the one that holds `range.since` on. Nothing when it has none.
  std::optional<std::pair<std::string, std::string>> Span(Level level,
                                                          std::optional<uint32_t> dataId,
                                                          const TimeRange& range);
  // The buckets of level `bucket` that overlap `query.range` (whole buckets), from the rollups
  // of that level (`source` == `bucket`, with the rows not folded yet added) or computed from the
  // history rows (`source` kRaw): the newest `query.limit` (0: all), oldest first, by time then
  // device; streamed to `take`.
  void ForEachAggregate(Level source, Level bucket, const RowQuery& query,
                        const std::function<void(const Aggregate&)>& take);

 private:
  // The buckets of `query` computed from the rows after `foldedTo`, by time then device.
  std::vector<Aggregate> UnfoldedAggregates(Level bucket, const RowQuery& query,
                                            long long foldedTo);

  StoreConnection& connection_;
};

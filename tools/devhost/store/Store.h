// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <json/value.h>

#include "events/Event.h"
#include "events/TimeRange.h"
#include "store/RestoredState.h"
#include "store/Rollups.h"
#include "store/Statement.h"

struct sqlite3;

struct StoreError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Which rows a listing takes: one device or all, a time range, the newest `limit` (0: all).
struct RowQuery {
  std::optional<uint32_t> dataId;
  TimeRange range;
  long long limit = 0;
};

// Rows of an event table, each value as JSON (text, number or null), oldest first.
struct StoredRows {
  std::vector<std::string> columns;
  std::vector<std::vector<Json::Value>> rows;
};

// The tables a listing or a prune takes, besides history.
enum class EventTable { kAlarms, kLinks, kReports, kThresholdValues };

// One measurement as stored: time in the store's text, the values of the columns asked for, as
// decoded when stored.
struct Sample {
  std::string time;
  std::vector<double> values;
};

struct HistoryRow {
  long long id = 0;
  uint32_t dataId = 0;
  std::string time;
  std::vector<unsigned char> record;
};

// The reference host's database (SQLite, WAL): history, the last record of each device, alarm
// transitions, threshold values and analog reports. One Store per thread that writes.
// Every statement is compiled on its first use and kept until the store closes: a poll cycle
// runs the same few statements each time.
class Store {
 public:
  // Opens the database, creating it and its tables when `create` is set (the host's writers:
  // a read-only file is then refused before SQLite leaves -wal and -shm files of its own).
  // Throws StoreError.
  Store(const std::string& path, bool create);
  // A reader's store (history, plot): opened read-only, so that a user who may read the
  // database but not write it or its folder reads it.
  struct ReadOnly {};
  Store(const std::string& path, ReadOnly);
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  const std::string& Path() const { return path_; }
  // How long a statement waits for another connection's lock before it fails.
  void SetBusyTimeout(int milliseconds);
  // WAL pages after which a commit of this connection copies the log into the database (and
  // syncs it); 0: never, the other connections' commits do (SQLite's default is 1000).
  void SetAutoCheckpoint(int pages);
  // Writes what a cycle of the device writes and rolls it back; throws StoreError when the
  // database takes no writes (read-only, a full disk, a damaged page on that path).
  void ProveWritable(uint32_t dataId);
  // False once the path leads to another file than the open one, or to none: the database was
  // removed or replaced. One stat of the path.
  bool AtPath();
  // Closes the connection and opens the path again as at first. Throws StoreError, and then
  // keeps the old connection.
  void Reopen();
  // The newest time (store text) in history; empty when it holds none.
  std::string NewestHistoryTime();

  // One transaction per poll cycle: a killed process loses at most the cycle in flight.
  // Begin does nothing while a transaction is open. A Commit that fails (a full disk) has rolled
  // the transaction back before it throws. After any other failed write of a transaction the
  // caller calls Rollback: SQLite may have undone the whole transaction or only the statement.
  void Begin();
  void Commit();
  // Ends the open transaction without keeping it; does nothing when none is open.
  void Rollback();

  // The value columns hold the record's fields as `values` decodes them (DecodeRecord); a
  // record given without them is decoded as the type its length says. The rollups take the row
  // later (FoldRollups).
  void AddHistory(uint32_t dataId, const std::string& time, const unsigned char* record,
                  unsigned int length);
  void AddHistory(uint32_t dataId, const std::string& time, const unsigned char* record,
                  unsigned int length, const std::optional<RecordValues>& values);
  // last_record is a view: per device in device_records, its newest history row (by id), else
  // the record kept there. A device's row in device_records (its data code) is written with the
  // first record of a run and when the code changes, not with every cycle.
  void PutLastRecord(uint32_t dataId, int code, const std::string& time,
                     const unsigned char* record, unsigned int length);
  std::optional<StoredRecord> LastRecord(uint32_t dataId);
  void AddAlarmEvent(const AlarmEvent& event);
  // The last change of every alarm of a device: its active flag as last known, and since when.
  std::map<std::string, AlarmEvent> LastAlarmEvents(uint32_t dataId);
  void AddLinkEvent(uint32_t dataId, const std::string& time, const LinkEvent& event);
  // Errors are counted per device across runs, with the last one and its time.
  void CountError(uint32_t dataId, const std::string& time, const std::string& what);
  void AddThresholdValue(uint32_t dataId, const std::string& time, const std::string& alarmId,
                         const std::string& name, float value, int kind);
  void AddReport(uint32_t dataId, const std::string& time, const std::string& signalId,
                 float value);
  // What the MQTT bridge did for a device in a run; its table is made with the first one.
  void AddMqttSummary(const std::string& time, const MqttSummaryEvent& summary);
  // The newest `query.limit` records in the range, handed out oldest first (by time).
  std::vector<HistoryRow> History(const RowQuery& query);
  StoredRows Events(EventTable table, const RowQuery& query);
  // The times (store text) of the device's first and last record in the range; nothing when
  // the range holds none.
  // The data ids that have a record stored, in order.
  std::vector<uint32_t> StoredDevices();
  std::optional<std::pair<std::string, std::string>> HistorySpan(uint32_t dataId,
                                                                 const TimeRange& range);
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
  // Deletes up to `batch` of the oldest rows before `cutoff` (store text) from history
  // (table empty) or an event table, in one short transaction; the rows deleted. Never touches
  // last_record or device_errors, and keeps the last event of each alarm.
  long long PruneBatch(std::optional<EventTable> table, const std::string& cutoff, int batch);
  // The same for the rollups of a level: buckets that begin before `cutoff`.
  long long PruneRollupBatch(Level level, const std::string& cutoff, int batch);

  // Spans of stamps written while the clock was in doubt (store/Pruner.h): no prune deletes a
  // row stamped inside one while it is held. `heldUntil` empty: until the clock is trusted again.
  struct Hold {
    std::string keptFrom, keptTo, heldUntil;
  };
  // Makes the table where the database lacks it (a prune needs it); throws StoreError.
  void EnsureHolds();
  std::vector<Hold> Holds();
  // Adds the span, or widens the pending one.
  void HoldSpan(const std::string& keptFrom, const std::string& keptTo);
  // Pending spans are held until `until`; spans held until before `now` are let go.
  void SettleHolds(const std::string& until, const std::string& now);

  // Rollups (store/Rollups.h). A store opened to create makes their tables; others (a listing,
  // a prune) find them or not.
  void EnsureRollups() { EnsureRollupTables(db_); }
  RollupState Rollups();
  // Rolls up to `batch` of the history rows a backfill still has to do, in one short write
  // transaction that moves rollup_state along; the rows taken (0: nothing left).
  long long BackfillRollups(int batch);
  // Folds up to `batch` of the rows after folded_to that lie before the minute of the newest row
  // (closed minutes) into both levels, in one short write transaction; the rows taken.
  long long FoldRollups(int batch);
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
  enum Query {
    kBegin,
    kCommit,
    kAddHistory,
    kPutLastRecord,
    kLastRecord,
    kAddAlarmEvent,
    kLastAlarmEvents,
    kAddLinkEvent,
    kCountError,
    kAddThresholdValue,
    kAddReport,
    kAddMqttSummary,
    kPruneHistory,
    kPruneAlarms,
    kPruneLinks,
    kPruneThresholdValues,
    kPruneReports,
    kNewestHistory,
    kQueryCount
  };

  // Opens `path_` into a new connection; throws StoreError.
  static sqlite3* Open(const std::string& path, bool create, bool readOnly = false);
  void Close();
  void Execute(const char* sql);
  // The kept statement of `query`, compiled on first use; reset when the use ends.
  StatementUse Use(Query query);
  // Runs `step` (one DELETE) in a transaction of its own: the rows it deleted, or nothing
  // deleted and the error thrown.
  long long DeleteInTransaction(const std::function<void()>& step);
  // Runs `step` in a write transaction: committed when it returns, rolled back when it throws.
  long long InTransaction(const std::function<long long()>& step);
  // The buckets of `query` computed from the rows after `foldedTo`, by time then device.
  std::vector<Aggregate> UnfoldedAggregates(Level bucket, const RowQuery& query,
                                            long long foldedTo);

  std::string path_;
  bool create_;
  bool readOnly_ = false;
  sqlite3* db_ = nullptr;
  std::array<std::unique_ptr<Statement>, kQueryCount> statements_;
  bool inTransaction_ = false;
  bool hasSummaryTable_ = false;
  // The data code of each device's row in device_records, as committed in this connection and
  // as written by the open transaction.
  std::map<uint32_t, int> deviceCodes_, pendingCodes_;
};

// SPDX-License-Identifier: Apache-2.0
// Spans and aggregates of a level: rollups as stored, with the rows not folded yet added.
#include <sqlite3.h>

#include <climits>

#include "store/RowQuerySql.h"
#include "store/StoreReader.h"

namespace {

// The rollups, folded_to and the rows after it read in one snapshot: a fold committed by the
// host meanwhile neither counts rows twice nor loses them. Nothing when a transaction is open.
class ReadSnapshot {
 public:
  explicit ReadSnapshot(sqlite3* db) : db_(sqlite3_get_autocommit(db) ? db : nullptr) {
    if (db_ != nullptr && sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr) != SQLITE_OK) {
      db_ = nullptr;
    }
  }
  ~ReadSnapshot() {
    if (db_ != nullptr) sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
  }
  ReadSnapshot(const ReadSnapshot&) = delete;
  ReadSnapshot& operator=(const ReadSnapshot&) = delete;

 private:
  sqlite3* db_;
};

// Each row of an aggregate query (AggregateSelect's columns) handed to `take`.
void StreamAggregateRows(Statement& statement, const std::function<void(const Aggregate&)>& take) {
  Aggregate aggregate;
  const std::size_t columns = RollupColumns().size();
  aggregate.fields.resize(columns);
  while (statement.Step()) {
    aggregate.dataId = static_cast<uint32_t>(statement.Integer(0));
    aggregate.time.assign(statement.TextView(1));
    aggregate.count = statement.Integer(2);
    for (std::size_t c = 0; c < columns; ++c) {
      const int at = 3 + 3 * static_cast<int>(c);
      if (statement.Type(at) == SQLITE_NULL) {
        aggregate.fields[c].reset();
      } else {
        aggregate.fields[c] =
            FieldFigures{statement.Real(at), statement.Real(at + 1), statement.Integer(at + 2)};
      }
    }
    take(aggregate);
  }
}

bool BucketBefore(const Aggregate& a, const Aggregate& b) {
  return a.time != b.time ? a.time < b.time : a.dataId < b.dataId;
}

// Stored buckets, in order, with the buckets of the rows not folded yet merged in at their
// places; with a limit, only the newest `limit` of the result.
class UnfoldedMerge {
 public:
  UnfoldedMerge(std::vector<Aggregate> unfolded, long long limit,
                const std::function<void(const Aggregate&)>& take)
      : unfolded_(std::move(unfolded)), limit_(limit), take_(take) {}

  void Take(const Aggregate& stored) {
    while (next_ < unfolded_.size() && BucketBefore(unfolded_[next_], stored)) {
      Emit(unfolded_[next_++]);
    }
    if (next_ < unfolded_.size() && !BucketBefore(stored, unfolded_[next_])) {
      Aggregate merged = stored;
      merged.Merge(unfolded_[next_++]);
      Emit(merged);
    } else {
      Emit(stored);
    }
  }
  void Finish() {
    while (next_ < unfolded_.size()) Emit(unfolded_[next_++]);
    const std::size_t skip =
        limit_ > 0 && kept_.size() > static_cast<std::size_t>(limit_) ? kept_.size() - limit_ : 0;
    for (std::size_t i = skip; i < kept_.size(); ++i) take_(kept_[i]);
  }

 private:
  void Emit(const Aggregate& aggregate) {
    if (limit_ > 0) {
      kept_.push_back(aggregate);
    } else {
      take_(aggregate);
    }
  }

  std::vector<Aggregate> unfolded_;
  std::size_t next_ = 0;
  long long limit_;
  const std::function<void(const Aggregate&)>& take_;
  std::vector<Aggregate> kept_;  // with a limit: all, cut at Finish (limit + unfolded at most)
};

}  // namespace

std::optional<std::pair<std::string, std::string>> StoreReader::Span(Level level,
                                                                     std::optional<uint32_t> dataId,
                                                                     const TimeRange& range) {
  sqlite3* db = connection_.Handle();
  RowQuery query;
  query.dataId = dataId;
  query.range = range;
  if (!range.since.empty()) query.range.since = BucketStart(level, range.since);
  const std::string table = FactsOf(level).table;
  const ReadSnapshot snapshot(db);
  // Two index look-ups, not an aggregate over the range.
  const std::string where = RowQueryWhere(query);
  const std::string sql = "SELECT (SELECT time FROM " + table + where +
                          " ORDER BY time LIMIT 1), (SELECT time FROM " + table + where +
                          " ORDER BY time DESC LIMIT 1)";
  Statement statement(db, sql.c_str());
  BindRowQuery(statement, query);
  std::optional<std::pair<std::string, std::string>> span;
  if (statement.Step() && statement.Type(0) != SQLITE_NULL) {
    span = std::make_pair(statement.Text(0), statement.Text(1));
  }
  if (level == Level::kRaw) return span;
  // The rows not folded yet hold the newest buckets, and may hold the only ones.
  const long long folded = Rollups().foldedTo;
  if (folded == LLONG_MAX) return span;
  Statement unfolded(
      db, ("SELECT min(time), max(time) FROM history" + UnfoldedRowsWhere(query)).c_str());
  BindRowQuery(unfolded, query);
  unfolded.Bind(5, folded);
  if (!unfolded.Step() || unfolded.Type(0) == SQLITE_NULL) return span;
  const std::string first = BucketStart(level, unfolded.Text(0));
  const std::string last = BucketStart(level, unfolded.Text(1));
  if (!span) return std::make_pair(first, last);
  return std::make_pair(std::min(span->first, first), std::max(span->second, last));
}

std::vector<Aggregate> StoreReader::UnfoldedAggregates(Level bucket, const RowQuery& query,
                                                       long long foldedTo) {
  sqlite3* db = connection_.Handle();
  Statement statement(db, (AggregateSelect(Level::kRaw, bucket, UnfoldedRowsWhere(query), "") +
                           " ORDER BY bucket, data_id")
                              .c_str());
  BindRowQuery(statement, query);
  statement.Bind(5, foldedTo);
  std::vector<Aggregate> rows;
  StreamAggregateRows(statement, [&](const Aggregate& row) { rows.push_back(row); });
  return rows;
}

void StoreReader::ForEachAggregate(Level source, Level bucket, const RowQuery& query,
                                   const std::function<void(const Aggregate&)>& take) {
  sqlite3* db = connection_.Handle();
  // Whole buckets: from the one that holds `since` up to the one that holds `until`.
  RowQuery whole = query;
  if (!whole.range.since.empty()) whole.range.since = BucketStart(bucket, whole.range.since);
  if (!whole.range.until.empty()) whole.range.until = BucketCeiling(bucket, whole.range.until);
  std::string sql = AggregateSelect(source, bucket, RowQueryWhere(whole), "");
  if (whole.limit > 0) {
    sql = "SELECT * FROM (" + sql + " ORDER BY bucket DESC, data_id DESC LIMIT ?4)";
  }
  sql += " ORDER BY bucket, data_id";
  const ReadSnapshot snapshot(db);
  Statement statement(db, sql.c_str());
  BindRowQuery(statement, whole);
  if (whole.limit > 0) BindRowLimit(statement, whole);
  const long long folded = source == Level::kRaw ? LLONG_MAX : Rollups().foldedTo;
  if (folded == LLONG_MAX) return StreamAggregateRows(statement, take);
  UnfoldedMerge merge(UnfoldedAggregates(bucket, whole, folded), whole.limit, take);
  StreamAggregateRows(statement, [&](const Aggregate& row) { merge.Take(row); });
  merge.Finish();
}

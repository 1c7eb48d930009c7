// SPDX-License-Identifier: Apache-2.0
#include "store/CycleWriter.h"

#include <sqlite3.h>

#include <vector>

#include "events/RecordView.h"
#include "store/StoreSchema.h"

namespace {

const char* const kPutLastRecordText =
    "INSERT OR REPLACE INTO device_records (data_id, code, time, record) VALUES (?, ?, ?, ?)";
const char* const kAddAlarmEventText =
    "INSERT INTO alarm_events (data_id, time, alarm_id, signal_name, level, active, value_text, "
    "alarm_text) VALUES (?, ?, ?, ?, ?, ?, ?, ?)";
const char* const kAddLinkEventText =
    "INSERT INTO link_events (data_id, time, event, failed_cycles, failure) VALUES (?, ?, ?, ?, ?)";
const char* const kCountErrorText =
    "INSERT INTO device_errors (data_id, errors, last_error, last_time) VALUES (?1, 1, ?2, ?3) "
    "ON CONFLICT (data_id) DO UPDATE SET errors = errors + 1, last_error = ?2, last_time = ?3";
const char* const kAddThresholdValueText =
    "INSERT INTO threshold_values (data_id, time, alarm_id, name, value, kind) "
    "VALUES (?, ?, ?, ?, ?, ?)";
const char* const kAddReportText =
    "INSERT INTO analog_reports (data_id, time, signal_id, value) VALUES (?, ?, ?, ?)";
const char* const kAddMqttSummaryText =
    "INSERT INTO mqtt_summaries (data_id, time, published, dropped, superseded) "
    "VALUES (?, ?, ?, ?, ?)";

// SQLite stores no NaN; an unreadable value is kept as NULL.
void BindFloat(Statement& statement, int index, float value) {
  if (value == value) {
    statement.Bind(index, static_cast<double>(value));
  } else {
    statement.BindNull(index);
  }
}

// Each value column from the record's field of that key; NULL where the record's type has no
// such field, and in every column for a record of no known type.
void BindValues(Statement& statement, int first, const std::optional<RecordValues>& values) {
  int index = first;
  for (const HistoryColumn& column : HistoryColumns()) {
    const auto value = values ? values->Value(column.key) : std::nullopt;
    if (!value) {
      statement.BindNull(index++);
    } else if (column.whole) {
      statement.Bind(index++, static_cast<long long>(*value));
    } else {
      statement.Bind(index++, *value);
    }
  }
}

}  // namespace

void CycleWriter::FollowReopen() {
  if (opens_ == connection_.Opens()) return;
  opens_ = connection_.Opens();
  hasSummaryTable_ = false;
  deviceCodes_.clear();
  pendingCodes_.clear();
}

void CycleWriter::Begin() {
  FollowReopen();
  // A transaction left open by a failure is rolled back by the connection's Begin.
  if (!connection_.InTransaction()) pendingCodes_.clear();
  connection_.Begin();
}

void CycleWriter::Commit() {
  if (!connection_.InTransaction()) return;
  try {
    connection_.Commit();
  } catch (const StoreError&) {
    pendingCodes_.clear();
    throw;
  }
  for (const auto& [dataId, code] : pendingCodes_) deviceCodes_[dataId] = code;
  pendingCodes_.clear();
}

void CycleWriter::Rollback() {
  pendingCodes_.clear();
  connection_.Rollback();
}

void CycleWriter::ProveWritable(uint32_t dataId) {
  const std::vector<unsigned char> record(47, 0);
  try {
    Begin();
    AddHistory(dataId, "0000-00-00 00:00:00", record.data(), 47);
    PutLastRecord(dataId, 0, "0000-00-00 00:00:00", record.data(), 47);
    Rollback();
  } catch (const StoreError& error) {
    // Another process holding a write lock is a passing act (someone reading with sqlite3).
    const bool busy = (sqlite3_extended_errcode(connection_.Handle()) & 0xff) == SQLITE_BUSY;
    try {
      Rollback();
    } catch (const StoreError&) {
    }
    if (busy) return;
    throw StoreError("database " + connection_.Path() + " takes no writes: " + error.what());
  }
}

void CycleWriter::AddHistory(uint32_t dataId, const std::string& time, const unsigned char* record,
                             unsigned int length) {
  AddHistory(dataId, time, record, length, DecodeRecord(record, length));
}

void CycleWriter::AddHistory(uint32_t dataId, const std::string& time, const unsigned char* record,
                             unsigned int length, const std::optional<RecordValues>& values) {
  const auto statement = connection_.Kept(AddHistoryText().c_str());
  statement->Bind(1, static_cast<long long>(dataId)).Bind(2, time).Bind(3, record, length);
  BindValues(*statement, 4, values);
  statement->Step();
}

void CycleWriter::PutLastRecord(uint32_t dataId, int code, const std::string& time,
                                const unsigned char* record, unsigned int length) {
  const auto known = [&](const std::map<uint32_t, int>& codes) {
    const auto found = codes.find(dataId);
    return found != codes.end() && found->second == code;
  };
  FollowReopen();
  if (known(deviceCodes_) || known(pendingCodes_)) return;
  pendingCodes_[dataId] = code;
  connection_.Kept(kPutLastRecordText)
      ->Bind(1, static_cast<long long>(dataId))
      .Bind(2, static_cast<long long>(code))
      .Bind(3, time)
      .Bind(4, record, length)
      .Step();
}

void CycleWriter::AddAlarmEvent(const AlarmEvent& event) {
  connection_.Kept(kAddAlarmEventText)
      ->Bind(1, static_cast<long long>(event.dataId))
      .Bind(2, event.time)
      .Bind(3, event.alarmId)
      .Bind(4, event.signalName)
      .Bind(5, static_cast<long long>(event.level))
      .Bind(6, static_cast<long long>(event.active))
      .Bind(7, event.valueText)
      .Bind(8, event.alarmText)
      .Step();
}

void CycleWriter::AddLinkEvent(uint32_t dataId, const std::string& time, const LinkEvent& event) {
  connection_.Kept(kAddLinkEventText)
      ->Bind(1, static_cast<long long>(dataId))
      .Bind(2, time)
      .Bind(3, std::string(event.lost ? "lost" : "restored"))
      .Bind(4, static_cast<long long>(event.failedCycles))
      .Bind(5, event.failure)
      .Step();
}

void CycleWriter::CountError(uint32_t dataId, const std::string& time, const std::string& what) {
  connection_.Kept(kCountErrorText)
      ->Bind(1, static_cast<long long>(dataId))
      .Bind(2, what)
      .Bind(3, time)
      .Step();
}

void CycleWriter::AddThresholdValue(uint32_t dataId, const std::string& time,
                                    const std::string& alarmId, const std::string& name,
                                    float value, int kind) {
  const auto statement = connection_.Kept(kAddThresholdValueText);
  statement->Bind(1, static_cast<long long>(dataId)).Bind(2, time).Bind(3, alarmId).Bind(4, name);
  BindFloat(*statement, 5, value);
  statement->Bind(6, static_cast<long long>(kind)).Step();
}

void CycleWriter::AddReport(uint32_t dataId, const std::string& time, const std::string& signalId,
                            float value) {
  const auto statement = connection_.Kept(kAddReportText);
  statement->Bind(1, static_cast<long long>(dataId)).Bind(2, time).Bind(3, signalId);
  BindFloat(*statement, 4, value);
  statement->Step();
}

void CycleWriter::AddMqttSummary(const std::string& time, const MqttSummaryEvent& summary) {
  FollowReopen();
  if (!hasSummaryTable_) {
    EnsureMqttSummaries(connection_.Handle());
    hasSummaryTable_ = true;
  }
  connection_.Kept(kAddMqttSummaryText)
      ->Bind(1, static_cast<long long>(summary.dataId))
      .Bind(2, time)
      .Bind(3, static_cast<long long>(summary.published))
      .Bind(4, static_cast<long long>(summary.dropped))
      .Bind(5, static_cast<long long>(summary.superseded))
      .Step();
}

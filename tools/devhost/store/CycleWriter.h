// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "events/Event.h"
#include "store/StoreConnection.h"

// What a line's cycles leave in the database: history rows, a device's record and data code,
// alarm changes, threshold values, analog reports, link events, error counts and the MQTT
// bridge's counts, in the transactions the store sink (StoreSink) opens, one per cycle: a killed
// process loses at most the cycle in flight. Writes on the connection it is given, on the line's
// thread.
class CycleWriter {
 public:
  explicit CycleWriter(StoreConnection& connection) : connection_(connection) {}

  StoreConnection& Connection() { return connection_; }
  // The connection's transaction (StoreConnection::Begin), and the device codes written in it
  // known as written once it commits.
  void Begin();
  void Commit();
  void Rollback();
  // Writes what a cycle of the device writes and rolls it back; throws StoreError when the
  // database takes no writes (read-only, a full disk, a damaged page on that path).
  void ProveWritable(uint32_t dataId);

  // The value columns hold the record's fields as `values` decodes them (DecodeRecord); a
  // record given without them is decoded as the type its length says. The rollups take the row
  // later (RollupBackfill::FoldBatch).
  void AddHistory(uint32_t dataId, const std::string& time, const unsigned char* record,
                  unsigned int length);
  void AddHistory(uint32_t dataId, const std::string& time, const unsigned char* record,
                  unsigned int length, const std::optional<RecordValues>& values);
  // last_record is a view: per device in device_records, its newest history row (by id), else
  // the record kept there. A device's row in device_records (its data code) is written with the
  // first record of a run and when the code changes, not with every cycle.
  void PutLastRecord(uint32_t dataId, int code, const std::string& time,
                     const unsigned char* record, unsigned int length);
  void AddAlarmEvent(const AlarmEvent& event);
  void AddLinkEvent(uint32_t dataId, const std::string& time, const LinkEvent& event);
  // Errors are counted per device across runs, with the last one and its time.
  void CountError(uint32_t dataId, const std::string& time, const std::string& what);
  void AddThresholdValue(uint32_t dataId, const std::string& time, const std::string& alarmId,
                         const std::string& name, float value, int kind);
  void AddReport(uint32_t dataId, const std::string& time, const std::string& signalId,
                 float value);
  // What the MQTT bridge did for a device in a run; its table is made with the first one.
  void AddMqttSummary(const std::string& time, const MqttSummaryEvent& summary);

 private:
  // Forgets what it knew of the file the connection had open before it opened another.
  void FollowReopen();

  StoreConnection& connection_;
  unsigned long opens_ = 1;  // the connection's opening this writer's knowledge is of
  bool hasSummaryTable_ = false;
  // The data code of each device's row in device_records, as committed on this connection and
  // as written by the open transaction.
  std::map<uint32_t, int> deviceCodes_, pendingCodes_;
};

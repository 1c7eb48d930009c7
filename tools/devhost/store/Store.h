#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "events/Event.h"
#include "store/Statement.h"

struct sqlite3;

struct StoreError : std::runtime_error {
  using std::runtime_error::runtime_error;
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
  // Opens the database, creating it and its tables when `create` is set. Throws StoreError.
  Store(const std::string& path, bool create);
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // One transaction per poll cycle: a killed process loses at most the cycle in flight.
  void Begin();
  void Commit();

  void AddHistory(uint32_t dataId, const std::string& time, const unsigned char* record,
                  unsigned int length);
  void PutLastRecord(uint32_t dataId, int code, const std::string& time,
                     const unsigned char* record, unsigned int length);
  struct StoredRecord {
    std::string time;  // when it was stored
    std::vector<unsigned char> record;
  };
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
  // Newest last; `limit` 0 means all rows.
  std::vector<HistoryRow> History(std::optional<uint32_t> dataId, long long limit);

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
    kHistory,
    kQueryCount
  };

  void Execute(const char* sql);
  // The kept statement of `query`, compiled on first use; reset when the use ends.
  StatementUse Use(Query query);

  sqlite3* db_ = nullptr;
  std::array<std::unique_ptr<Statement>, kQueryCount> statements_;
  bool inTransaction_ = false;
};

// Local wall-clock time as "YYYY-MM-DD HH:MM:SS".
std::string NowText();

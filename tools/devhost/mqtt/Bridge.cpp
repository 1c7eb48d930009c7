#include "mqtt/Bridge.h"

#include <sqlite3.h>

#include "events/EventFormat.h"
#include "service/Host.h"
#include "store/Statement.h"
#include "store/Store.h"

namespace {

// Long enough to hand the last messages to a broker that is there, short enough not to hold up
// a stop when it is not.
constexpr std::chrono::milliseconds kStopLimit{1000};

const char* const kSummarySchema =
    "CREATE TABLE IF NOT EXISTS mqtt_summaries (id INTEGER PRIMARY KEY, data_id INTEGER NOT "
    "NULL, time TEXT NOT NULL, published INTEGER NOT NULL, dropped INTEGER NOT NULL, "
    "superseded INTEGER NOT NULL)";

void StoreSummaries(const std::string& database, const std::vector<MqttSummaryEvent>& summaries) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(database.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
      SQLITE_OK) {
    const std::string what = db ? sqlite3_errmsg(db) : "out of memory";
    sqlite3_close(db);
    throw StoreError("cannot open " + database + ": " + what);
  }
  sqlite3_busy_timeout(db, 5000);
  try {
    Statement(db, kSummarySchema).Step();
    Statement insert(db,
                     "INSERT INTO mqtt_summaries (data_id, time, published, dropped, superseded) "
                     "VALUES (?, ?, ?, ?, ?)");
    const std::string time = StoreTimeText(std::time(nullptr));
    for (const MqttSummaryEvent& summary : summaries) {
      insert.Bind(1, static_cast<long long>(summary.dataId))
          .Bind(2, time)
          .Bind(3, static_cast<long long>(summary.published))
          .Bind(4, static_cast<long long>(summary.dropped))
          .Bind(5, static_cast<long long>(summary.superseded));
      insert.Step();
      insert.Reset();
    }
  } catch (...) {
    sqlite3_close(db);
    throw;
  }
  sqlite3_close(db);
}

}  // namespace

std::unique_ptr<MqttSink> StartMqttBridge(const HostConfig& config, Host& host,
                                          EventSink& notices) {
  if (!config.mqtt) return nullptr;
  std::vector<MqttSink::Device> devices;
  std::vector<MqttSink::KnownAlarm> alarms;
  // The alarms the store knows get their discovery at once, before any of them changes again.
  Store store(config.database, true);
  for (auto& line : host.Lines()) {
    for (auto& device : line->Devices()) {
      devices.push_back({device->dataId, device->type});
      for (const auto& [alarmId, last] : store.LastAlarmEvents(device->dataId)) {
        alarms.push_back({device->dataId, alarmId, last.signalName});
      }
    }
  }
  auto bridge = std::make_unique<MqttSink>(*config.mqtt, devices, alarms, notices);
  host.AddSink(*bridge);
  bridge->Start();
  return bridge;
}

void StopMqttBridge(MqttSink& bridge, const HostConfig& config, EventSink& notices) {
  bridge.Stop(kStopLimit);
  const std::vector<MqttSummaryEvent> summaries = bridge.Summaries();
  for (const MqttSummaryEvent& summary : summaries) {
    notices.Take(HostEvent{std::time(nullptr), summary});
  }
  try {
    StoreSummaries(config.database, summaries);
  } catch (const StoreError& error) {
    notices.Take(HostEvent{std::time(nullptr),
                           NoticeEvent{std::string("mqtt counts not stored: ") + error.what()}});
  }
}

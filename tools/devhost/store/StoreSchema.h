// SPDX-License-Identifier: Apache-2.0
#pragma once
// The database's tables: history (a value column per field key of the known device types),
// device_records with the last_record view, the event tables, device_errors, the rollups
// (store/Rollups.h), and the tables only some databases have (mqtt_summaries,
// retention_holds). A database of an earlier version is brought up to them: missing value
// columns added, last_record made a view, rollups added, stamps converted to UTC.

#include <string>

struct sqlite3;

// Runs `sql` (one or several statements); throws StoreError.
void ExecuteSql(sqlite3* db, const char* sql);
// Creates what the database lacks and converts what is of an earlier version; another line's
// connection may do the same at the same time. Throws StoreError.
void EnsureSchema(sqlite3* db);
// The table of the MQTT bridge's counts: made with the first of them.
void EnsureMqttSummaries(sqlite3* db);
// The spans of stamps retention holds (store/Retention.h: ClockTrust): a prune needs it.
void EnsureRetentionHolds(sqlite3* db);
// "INSERT INTO history (data_id, time, record, <value columns>) VALUES (?, ...)".
const std::string& AddHistoryText();

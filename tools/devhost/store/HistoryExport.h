// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>
#include <vector>

#include "store/Rollups.h"
#include "store/Store.h"

// Stored records as CSV (header line first) or as a table for people. Every time is ISO 8601
// local time ("2026-12-08T01:49:28"): `time` when the host stored the record, `record_stamp`
// the record's own time (RecordValues::recordTime; `record_time` in event JSON).
std::string HistoryCsv(const std::vector<HistoryRow>& rows);
std::string HistoryTable(const std::vector<HistoryRow>& rows);
// One JSON document, for --json: {"command": "history", "records": [{...}, ...]}.
std::string HistoryJsonDocument(const std::vector<HistoryRow>& rows);

// Rows of an event table (alarm changes, link events, reports) the same three ways; `kind`
// names them in the JSON document ("alarms": [...]) and the table's count line.
std::string EventRowsCsv(const StoredRows& rows);
std::string EventRowsTable(const StoredRows& rows, const std::string& kind);
std::string EventRowsJsonDocument(const StoredRows& rows, const std::string& kind);

// Aggregates per minute or hour (history --every) the same three ways: for each bucket its
// device, start, count, and each measured value's min, mean and max (empty or null where the
// device's type has no such value). `bucket` is their level, `source` where they came from.
std::string AggregatesCsv(const std::vector<Aggregate>& rows);
std::string AggregatesTable(const std::vector<Aggregate>& rows, Level bucket, Level source);
std::string AggregatesJsonDocument(const std::vector<Aggregate>& rows, Level bucket, Level source);
// "the minute rollups" or "the records".
std::string SourceText(Level source);

// SPDX-License-Identifier: Apache-2.0
#pragma once
// The store's vocabulary, shared by its parts (store/StoreConnection.h, CycleWriter.h,
// StoreReader.h, Pruner.h): its error, the rows a listing takes and what it hands out.

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <json/value.h>

#include "events/TimeRange.h"

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

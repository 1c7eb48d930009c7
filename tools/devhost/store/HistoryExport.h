#pragma once

#include <string>
#include <vector>

#include "store/Store.h"

// Stored records as CSV (header line first) or as a table for people.
std::string HistoryCsv(const std::vector<HistoryRow>& rows);
std::string HistoryTable(const std::vector<HistoryRow>& rows);
// One JSON document, for --json: {"command": "history", "records": [{...}, ...]}.
std::string HistoryJsonDocument(const std::vector<HistoryRow>& rows);

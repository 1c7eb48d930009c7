// SPDX-License-Identifier: Apache-2.0
#include "store/RowQuerySql.h"

#include "store/Statement.h"

namespace {

// " AND ..." for the query's device and range.
std::string RowQueryConditions(const RowQuery& query) {
  std::string conditions;
  if (query.dataId) conditions += " AND data_id = ?1";
  if (!query.range.since.empty()) conditions += " AND time >= ?2";
  if (!query.range.until.empty()) conditions += " AND time < ?3";
  return conditions;
}

}  // namespace

std::string RowQueryWhere(const RowQuery& query) { return " WHERE 1" + RowQueryConditions(query); }

std::string UnfoldedRowsWhere(const RowQuery& query) {
  return " NOT INDEXED WHERE id > ?5" + RowQueryConditions(query);
}

void BindRowQuery(Statement& statement, const RowQuery& query) {
  if (query.dataId) statement.Bind(1, static_cast<long long>(*query.dataId));
  if (!query.range.since.empty()) statement.Bind(2, query.range.since);
  if (!query.range.until.empty()) statement.Bind(3, query.range.until);
}

void BindRowLimit(Statement& statement, const RowQuery& query) {
  statement.Bind(4, query.limit > 0 ? query.limit : -1);
}

// SPDX-License-Identifier: Apache-2.0
#pragma once
// The SQL of a RowQuery, shared by the store's listings: parameters ?1 data id, ?2 since,
// ?3 until, ?4 limit, ?5 the last folded id.

#include <string>

#include "store/Store.h"

class Statement;

// " WHERE ..." for the query's device and range.
std::string RowQueryWhere(const RowQuery& query);
// The same for the rows after ?5 (not folded into the rollups yet), put right after "FROM
// history": found by their ids, never through an index, which the planner would otherwise walk
// whole to group by device.
std::string UnfoldedRowsWhere(const RowQuery& query);
void BindRowQuery(Statement& statement, const RowQuery& query);
// ?4: the limit, or none.
void BindRowLimit(Statement& statement, const RowQuery& query);

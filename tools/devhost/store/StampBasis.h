// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <functional>
#include <string>

struct sqlite3;

// Converts a database whose stamps are local time (written before they were UTC) once; nothing
// to do when it is marked UTC. The rows of a table are read in the order they were written,
// which tells the two occurrences of the hour that repeats in autumn apart (OrderedStamps), and
// the rollups of such an hour are made again. Tells its start, how far it is (at most once a
// second) and its end. Throws StoreError.
void EnsureUtcStamps(sqlite3* db);
// Where a conversion tells its progress; standard error ("devhost: ...") while none is set.
using StampProgress = std::function<void(const std::string&)>;
void SetStampProgress(StampProgress tell);
// Tells TimeText how this process reads the database's stamps (SetStoreTextLocal).
void ReadStampBasis(sqlite3* db);

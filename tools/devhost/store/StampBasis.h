// SPDX-License-Identifier: Apache-2.0
#pragma once

struct sqlite3;

// Converts a database whose stamps are local time (written before they were UTC) once; nothing
// to do when it is marked UTC. Throws StoreError.
void EnsureUtcStamps(sqlite3* db);
// Tells TimeText how this process reads the database's stamps (SetStoreTextLocal).
void ReadStampBasis(sqlite3* db);

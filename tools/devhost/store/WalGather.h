// SPDX-License-Identifier: Apache-2.0
#pragma once

// A SQLite VFS over the default one that hands a transaction's WAL frames to the kernel in one
// write: SQLite writes each frame as two (its 24-byte header, then the page), so a cycle of four
// changed pages cost eight pwrite64 calls. Frames are gathered while they follow each other and
// written out when the commit frame's page arrives, from within that write, so the commit sees
// the write's outcome (a full disk fails the commit, as before) and a committed transaction is in
// the kernel before SQLite makes it visible. Anything else on the WAL file (a read, a sync, a
// write elsewhere, such as checksums rewritten in place) writes out what is gathered first. Only
// the WAL file is wrapped; the database and its shared memory are the default VFS's own.

// The name to open a database with (sqlite3_open_v2); registered on the first call.
const char* GatheringVfs();

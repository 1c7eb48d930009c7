// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

#include "store/FileCut.h"
#include "store/Statement.h"
#include "store/Store.h"

struct sqlite3;

// One connection to the reference host's database (SQLite, WAL), held by the store's parts
// that use it (CycleWriter, StoreReader, Pruner, RollupBackfill). One connection per thread:
// a line's writer and its restore share the line's; retention and the rollups share one of
// their own; a command opens one. Statements are compiled on first use and kept until the
// connection closes: a poll cycle runs the same few statements each time.
class StoreConnection {
 public:
  // Opens the database, creating it and its tables when `create` is set (the host's writers:
  // a read-only file is then refused before SQLite leaves -wal and -shm files of its own).
  // Throws StoreError.
  StoreConnection(const std::string& path, bool create);
  // A reader's connection (history, plot): opened read-only, so that a user who may read the
  // database but not write it or its folder reads it.
  struct ReadOnly {};
  StoreConnection(const std::string& path, ReadOnly);
  ~StoreConnection();
  StoreConnection(const StoreConnection&) = delete;
  StoreConnection& operator=(const StoreConnection&) = delete;

  const std::string& Path() const { return path_; }
  sqlite3* Handle() const { return db_; }
  // How long a statement waits for another connection's lock before it fails.
  void SetBusyTimeout(int milliseconds);
  // WAL pages after which a commit of this connection copies the log into the database (and
  // syncs it); 0: never, the other connections' commits do (SQLite's default is 1000).
  void SetAutoCheckpoint(int pages);
  // After a write that failed (a full disk): copies the write-ahead log into the database and
  // empties its file, so the space it held serves the next cycles, and bounds the log below the
  // size it had reached: the log that filled a small disk once does not fill it again. False when
  // the log could not be copied (no room for the database to grow, a reader's snapshot).
  bool FreeLog();
  // False once the path leads to another file than the open one, or to none: the database was
  // removed or replaced. One stat of the path.
  bool AtPath();
  // What shows the file at the path was cut short in place since the connection opened it
  // (FileCut); once found, always. Such a file is not written again: the connection then
  // closes without copying its log into it.
  std::optional<std::string> CutShort();
  // Closes the connection and opens the path again as at first. Throws StoreError, and then
  // keeps the old connection. Opens() counts the openings: what a part kept of the old file
  // (CycleWriter's device codes) is stale once it changed.
  void Reopen();
  unsigned long Opens() const { return opens_; }

  // Begin does nothing while a transaction is open. A Commit that fails (a full disk) has rolled
  // the transaction back before it throws. After any other failed write of a transaction the
  // caller calls Rollback: SQLite may have undone the whole transaction or only the statement.
  void Begin();
  void Commit();
  // Ends the open transaction without keeping it; does nothing when none is open.
  void Rollback();
  bool InTransaction() const { return inTransaction_; }
  // Runs `step` in a write transaction of its own: committed when it returns, rolled back when
  // it throws; what `step` returned.
  long long InTransaction(const std::function<long long()>& step);

  // The kept statement of `sql` (a text that lives as long as the process), compiled on its
  // first use; reset when the use ends.
  StatementUse Kept(const char* sql);
  void Execute(const char* sql);

 private:
  void Close();
  // A checkpoint after `pages` log pages and the log's file cut back to them; never raised.
  void BoundLog(long long pages);

  std::string path_;
  bool create_;
  bool readOnly_ = false;
  sqlite3* db_ = nullptr;
  std::unordered_map<const char*, std::unique_ptr<Statement>> kept_;
  bool inTransaction_ = false;
  unsigned long opens_ = 1;
  long long logBoundPages_ = 0;
  FileCut fileCut_;
  std::optional<std::string> cutShort_;  // set by FreeLog; 0: SQLite's own checkpoint size
};

// SPDX-License-Identifier: Apache-2.0
#include "store/StoreConnection.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "store/StampBasis.h"
#include "store/StoreSchema.h"
#include "store/WalGather.h"

namespace {

constexpr int kBusyTimeoutMs = 5000;
// The write-ahead log's file is cut back to this size when it restarts after a checkpoint: a log
// that grew past SQLite's checkpoint size of 1000 pages (a reader's snapshot held it, or a
// long transaction) gives the space back once it may restart.
constexpr long long kLogKeptBytes = 4 * 1024 * 1024;
// A log page as its file holds it: the page and its frame header (the default page size).
constexpr long long kLogFrameBytes = 4096 + 24;
// The smallest log bound FreeLog sets: a cycle writes some ten pages.
constexpr long long kFewestLogPages = 16;
// Kept statements, as every cycle runs them.
const char* const kBeginText = "BEGIN IMMEDIATE";
const char* const kCommitText = "COMMIT";

// The history is the owner's, like the control socket: a new database is made 0600 here, and
// SQLite gives its -wal and -shm files the database's mode. An existing file keeps its mode.
void CreateOwnerOnly(const std::string& path) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd >= 0) close(fd);
}

// SQLite says only "unable to open database file" when the folder is missing, or this user may
// not read (or write) the file or its folder (where the -wal and -shm files go).
std::string OpenHint(const std::string& path, bool write) {
  const auto slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  if (access(folder.c_str(), F_OK) != 0 && errno == ENOENT) {
    return " (its folder " + folder + " does not exist: make it first, mkdir -p " + folder + ")";
  }
  const int fileAccess = write ? R_OK | W_OK : R_OK;
  const int folderAccess = write ? W_OK | X_OK : X_OK;
  const bool denied = (access(path.c_str(), fileAccess) != 0 && errno == EACCES) ||
                      (access(folder.c_str(), folderAccess) != 0 && errno == EACCES);
  if (denied) {
    return std::string(" (permission denied: this user may not ") +
           (write ? "read and write the database and its folder" : "read the database") +
           "; run the command as the user that owns it, e.g. sudo -u devhost, or as root)";
  }
  if (!write && access(path.c_str(), F_OK) != 0 && errno == ENOENT) {
    return " (there is no database there: devhost run makes it; check --db or the "
           "configuration's \"database\")";
  }
  return {};
}

// Read-only: a database in WAL mode needs its -shm file, which SQLite cannot make in a folder
// the reader may not write. When the host is not running there is none (the last connection
// removes it) and nobody writes the file: it is then read as it is (immutable).
sqlite3* OpenReadOnly(const std::string& path) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
      sqlite3_exec(db, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr) ==
          SQLITE_OK) {
    return db;
  }
  sqlite3_close(db);
  db = nullptr;
  if (access((path + "-wal").c_str(), F_OK) == 0 || access(path.c_str(), R_OK) != 0) {
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    return db;
  }
  char* uri = sqlite3_mprintf("file:%q?immutable=1", path.c_str());
  sqlite3_open_v2(uri, &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr);
  sqlite3_free(uri);
  return db;
}

sqlite3* OpenConnection(const std::string& path, bool create, bool readOnly) {
  if (create) CreateOwnerOnly(path);
  sqlite3* db = nullptr;
  const int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0);
  if (readOnly) {
    db = OpenReadOnly(path);
    if (db == nullptr || sqlite3_errcode(db) != SQLITE_OK) {
      const std::string reason = db ? sqlite3_errmsg(db) : "out of memory";
      sqlite3_close(db);
      throw StoreError("cannot open database " + path + ": " + reason + OpenHint(path, false));
    }
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    ReadStampBasis(db);
    return db;
  }
  if (sqlite3_open_v2(path.c_str(), &db, flags, GatheringVfs()) != SQLITE_OK) {
    const std::string reason = db ? sqlite3_errmsg(db) : "out of memory";
    sqlite3_close(db);
    throw StoreError("cannot open database " + path + ": " + reason + OpenHint(path, true));
  }
  try {
    // SQLite falls back to reading a file it may not write; nothing has been read yet.
    if (create && sqlite3_db_readonly(db, "main") == 1) {
      throw StoreError("it is read-only (no write access)");
    }
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    ExecuteSql(db, "PRAGMA journal_mode=WAL");
    ExecuteSql(db, "PRAGMA synchronous=NORMAL");
    ExecuteSql(db, ("PRAGMA journal_size_limit=" + std::to_string(kLogKeptBytes)).c_str());
    if (create) EnsureSchema(db);
    ReadStampBasis(db);
  } catch (const StoreError& error) {
    sqlite3_close(db);
    throw StoreError("cannot open database " + path + ": " + error.what());
  }
  return db;
}

}  // namespace

StoreConnection::StoreConnection(const std::string& path, bool create)
    : path_(path), create_(create), db_(OpenConnection(path, create, false)) {
  fileCut_.Check(path_);  // the size a cut is measured against
}

StoreConnection::StoreConnection(const std::string& path, ReadOnly)
    : path_(path), create_(false), readOnly_(true), db_(OpenConnection(path, false, true)) {}

StoreConnection::~StoreConnection() { Close(); }

void StoreConnection::Close() {
  // A connection closes only once all its statements are finalised.
  kept_.clear();
  // The last connection to close copies the log into the database: not into a file cut short,
  // whose log is then all that is left of its last pages.
  if (!readOnly_ && CutShort())
    sqlite3_db_config(db_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
  if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(db_);
  db_ = nullptr;
}

void StoreConnection::Reopen() {
  sqlite3* fresh = OpenConnection(path_, create_, readOnly_);
  Close();
  db_ = fresh;
  inTransaction_ = false;
  ++opens_;
  fileCut_ = FileCut{};
  cutShort_.reset();
  fileCut_.Check(path_);
  if (logBoundPages_ > 0) {
    const long long bound = logBoundPages_;
    logBoundPages_ = 0;
    BoundLog(bound);
  }
}

void StoreConnection::SetBusyTimeout(int milliseconds) { sqlite3_busy_timeout(db_, milliseconds); }

void StoreConnection::SetAutoCheckpoint(int pages) { sqlite3_wal_autocheckpoint(db_, pages); }

bool StoreConnection::FreeLog() {
  struct stat log {};
  const long long pages =
      stat((path_ + "-wal").c_str(), &log) == 0 ? log.st_size / kLogFrameBytes : 0;
  const bool freed = sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr,
                                               nullptr) == SQLITE_OK;
  if (pages > 0) BoundLog(std::max(kFewestLogPages, pages / 2));
  return freed;
}

void StoreConnection::BoundLog(long long pages) {
  if (logBoundPages_ != 0 && logBoundPages_ <= pages) return;
  logBoundPages_ = pages;
  SetAutoCheckpoint(static_cast<int>(pages));
  Execute(("PRAGMA journal_size_limit=" + std::to_string(pages * kLogFrameBytes)).c_str());
}

bool StoreConnection::AtPath() {
  int moved = 0;
  if (sqlite3_file_control(db_, "main", SQLITE_FCNTL_HAS_MOVED, &moved) != SQLITE_OK) return true;
  return moved == 0;
}

std::optional<std::string> StoreConnection::CutShort() {
  if (!cutShort_) cutShort_ = fileCut_.Check(path_);
  return cutShort_;
}

StatementUse StoreConnection::Kept(const char* sql) {
  auto& statement = kept_[sql];
  if (!statement) statement = std::make_unique<Statement>(db_, sql);
  return StatementUse(*statement);
}

void StoreConnection::Execute(const char* sql) { ExecuteSql(db_, sql); }

void StoreConnection::Begin() {
  if (inTransaction_) return;
  // SQLite's own state decides: a transaction left open by a failure that nobody rolled back
  // would make every later BEGIN fail ("cannot start a transaction within a transaction").
  if (!sqlite3_get_autocommit(db_)) Rollback();
  Kept(kBeginText)->Step();
  inTransaction_ = true;
}

void StoreConnection::Commit() {
  if (!inTransaction_) return;
  try {
    Kept(kCommitText)->Step();
  } catch (const StoreError&) {
    // A COMMIT that failed on a full disk or an I/O error may leave the transaction open (SQLite
    // keeps it for a retry) or may have rolled it back: either way it ends here, so the next
    // cycle begins clean. Should the rollback fail too, the next Begin tries again; the
    // COMMIT's error is the one that says what happened.
    try {
      Rollback();
    } catch (const StoreError&) {
    }
    throw;
  }
  inTransaction_ = false;
}

void StoreConnection::Rollback() {
  inTransaction_ = false;
  // SQLite rolls a transaction back by itself after some errors (SQLITE_FULL, SQLITE_IOERR):
  // a ROLLBACK then would only fail with "no transaction is active". Every kept statement has
  // been reset when its use ended, so nothing holds the transaction. In WAL mode a rollback
  // writes nothing, so it works on a full disk too.
  if (sqlite3_get_autocommit(db_)) return;
  Execute("ROLLBACK");
}

long long StoreConnection::InTransaction(const std::function<long long()>& step) {
  Begin();
  try {
    const long long result = step();
    Commit();
    return result;
  } catch (...) {
    try {
      Rollback();
    } catch (const StoreError&) {
    }
    throw;
  }
}

// SPDX-License-Identifier: Apache-2.0
#include "store/WalGather.h"

#include <sqlite3.h>

#include <cstring>
#include <mutex>
#include <vector>

namespace {

constexpr int kWalHeaderBytes = 32;
constexpr int kFrameHeaderBytes = 24;
// Gathered bytes go out before they would pass this: the default VFS writes at most 128 KiB
// less one byte in one call (a transaction larger than that takes several writes).
constexpr std::size_t kMostGathered = 120 * 1024;

struct Gathered {
  std::vector<unsigned char> bytes;
  sqlite3_int64 start = 0;   // the file offset of bytes[0]
  bool commitFrame = false;  // bytes end with the header of the transaction's commit frame
};

// The WAL file as SQLite sees it; the default VFS's file follows it in the same allocation.
struct GatherFile {
  sqlite3_file base;
  sqlite3_file* real;
  Gathered* gathered;
};

sqlite3_vfs* Below() { return sqlite3_vfs_find(nullptr); }

GatherFile& Of(sqlite3_file* file) { return *reinterpret_cast<GatherFile*>(file); }
sqlite3_file* Real(sqlite3_file* file) { return Of(file).real; }

int WriteOut(GatherFile& file) {
  Gathered& g = *file.gathered;
  if (g.bytes.empty()) return SQLITE_OK;
  const int rc = file.real->pMethods->xWrite(file.real, g.bytes.data(),
                                             static_cast<int>(g.bytes.size()), g.start);
  g.bytes.clear();
  return rc;
}

int Gather(GatherFile& file, const void* data, int amount, sqlite3_int64 offset) {
  Gathered& g = *file.gathered;
  if (g.bytes.size() + static_cast<std::size_t>(amount) > kMostGathered) {
    if (const int rc = WriteOut(file); rc != SQLITE_OK) return rc;
  }
  if (g.bytes.empty()) g.start = offset;
  const auto* bytes = static_cast<const unsigned char*>(data);
  g.bytes.insert(g.bytes.end(), bytes, bytes + amount);
  return SQLITE_OK;
}

// A frame header's second word: the database size after a commit, 0 in any other frame.
bool IsCommitHeader(const void* data) {
  const auto* b = static_cast<const unsigned char*>(data);
  return (b[4] | b[5] | b[6] | b[7]) != 0;
}

int GatherWrite(sqlite3_file* f, const void* data, int amount, sqlite3_int64 offset) {
  GatherFile& file = Of(f);
  Gathered& g = *file.gathered;
  const bool follows =
      !g.bytes.empty() && offset == g.start + static_cast<sqlite3_int64>(g.bytes.size());
  const bool header = amount == kFrameHeaderBytes;
  if (follows && !header) {
    // A page after its header; the commit frame's page completes the transaction, which goes
    // out whole, the outcome of that write being this one's.
    const bool commit = g.commitFrame;
    if (const int rc = Gather(file, data, amount, offset); rc != SQLITE_OK) return rc;
    if (!commit) return SQLITE_OK;
    g.commitFrame = false;
    return WriteOut(file);
  }
  if (follows && header && !g.commitFrame && IsCommitHeader(data)) {
    g.commitFrame = true;
    return Gather(file, data, amount, offset);
  }
  const bool starts =
      (header && !IsCommitHeader(data)) || (amount == kWalHeaderBytes && offset == 0);
  if (!follows || g.commitFrame) {
    g.commitFrame = false;
    if (const int rc = WriteOut(file); rc != SQLITE_OK) return rc;
  }
  if (starts) return Gather(file, data, amount, offset);
  // A single frame's commit, or a write in place (checksums rewritten): as it comes.
  return file.real->pMethods->xWrite(file.real, data, amount, offset);
}

int GatherClose(sqlite3_file* f) {
  GatherFile& file = Of(f);
  const int written = WriteOut(file);
  const int closed = file.real->pMethods->xClose(file.real);
  delete file.gathered;
  file.gathered = nullptr;
  return written != SQLITE_OK ? written : closed;
}

// Every other method writes out what is gathered, then is the default VFS's.
template <typename... Args>
int Through(sqlite3_file* f, int (*sqlite3_io_methods::*method)(sqlite3_file*, Args...),
            Args... args) {
  Of(f).gathered->commitFrame = false;
  if (const int rc = WriteOut(Of(f)); rc != SQLITE_OK) return rc;
  return (Real(f)->pMethods->*method)(Real(f), args...);
}

int GatherRead(sqlite3_file* f, void* data, int amount, sqlite3_int64 offset) {
  return Through(f, &sqlite3_io_methods::xRead, data, amount, offset);
}
int GatherTruncate(sqlite3_file* f, sqlite3_int64 size) {
  return Through(f, &sqlite3_io_methods::xTruncate, size);
}
int GatherSync(sqlite3_file* f, int flags) { return Through(f, &sqlite3_io_methods::xSync, flags); }
int GatherFileSize(sqlite3_file* f, sqlite3_int64* size) {
  return Through(f, &sqlite3_io_methods::xFileSize, size);
}
int GatherLock(sqlite3_file* f, int level) { return Through(f, &sqlite3_io_methods::xLock, level); }
int GatherUnlock(sqlite3_file* f, int level) {
  return Through(f, &sqlite3_io_methods::xUnlock, level);
}
int GatherCheckReservedLock(sqlite3_file* f, int* out) {
  return Through(f, &sqlite3_io_methods::xCheckReservedLock, out);
}
int GatherFileControl(sqlite3_file* f, int op, void* arg) {
  return Through(f, &sqlite3_io_methods::xFileControl, op, arg);
}
int GatherSectorSize(sqlite3_file* f) { return Real(f)->pMethods->xSectorSize(Real(f)); }
int GatherDeviceCharacteristics(sqlite3_file* f) {
  return Real(f)->pMethods->xDeviceCharacteristics(Real(f));
}

// Version 1: SQLite maps no shared memory and no pages of a WAL file.
const sqlite3_io_methods kGatherMethods = {1,
                                           GatherClose,
                                           GatherRead,
                                           GatherWrite,
                                           GatherTruncate,
                                           GatherSync,
                                           GatherFileSize,
                                           GatherLock,
                                           GatherUnlock,
                                           GatherCheckReservedLock,
                                           GatherFileControl,
                                           GatherSectorSize,
                                           GatherDeviceCharacteristics,
                                           nullptr,
                                           nullptr,
                                           nullptr,
                                           nullptr,
                                           nullptr,
                                           nullptr};

int GatherOpen(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* f, int flags, int* outFlags) {
  if ((flags & SQLITE_OPEN_WAL) == 0) return Below()->xOpen(Below(), name, f, flags, outFlags);
  GatherFile& file = Of(f);
  file.real = reinterpret_cast<sqlite3_file*>(&file + 1);
  file.gathered = nullptr;
  file.base.pMethods = nullptr;
  std::memset(file.real, 0, static_cast<std::size_t>(Below()->szOsFile));
  const int rc = Below()->xOpen(Below(), name, file.real, flags, outFlags);
  if (rc != SQLITE_OK) {
    if (file.real->pMethods != nullptr) file.real->pMethods->xClose(file.real);
    return rc;
  }
  file.gathered = new Gathered;
  file.base.pMethods = &kGatherMethods;
  return SQLITE_OK;
}

int GatherDelete(sqlite3_vfs*, const char* name, int syncDir) {
  return Below()->xDelete(Below(), name, syncDir);
}
int GatherAccess(sqlite3_vfs*, const char* name, int flags, int* out) {
  return Below()->xAccess(Below(), name, flags, out);
}
int GatherFullPathname(sqlite3_vfs*, const char* name, int size, char* out) {
  return Below()->xFullPathname(Below(), name, size, out);
}
void* GatherDlOpen(sqlite3_vfs*, const char* name) { return Below()->xDlOpen(Below(), name); }
void GatherDlError(sqlite3_vfs*, int size, char* out) { Below()->xDlError(Below(), size, out); }
void (*GatherDlSym(sqlite3_vfs*, void* handle, const char* symbol))(void) {
  return Below()->xDlSym(Below(), handle, symbol);
}
void GatherDlClose(sqlite3_vfs*, void* handle) { Below()->xDlClose(Below(), handle); }
int GatherRandomness(sqlite3_vfs*, int size, char* out) {
  return Below()->xRandomness(Below(), size, out);
}
int GatherSleep(sqlite3_vfs*, int micros) { return Below()->xSleep(Below(), micros); }
int GatherCurrentTime(sqlite3_vfs*, double* now) { return Below()->xCurrentTime(Below(), now); }
int GatherGetLastError(sqlite3_vfs*, int size, char* out) {
  return Below()->xGetLastError(Below(), size, out);
}
int GatherCurrentTimeInt64(sqlite3_vfs*, sqlite3_int64* now) {
  return Below()->xCurrentTimeInt64(Below(), now);
}

}  // namespace

const char* GatheringVfs() {
  static sqlite3_vfs vfs;
  static std::once_flag registered;
  std::call_once(registered, [] {
    sqlite3_vfs* below = Below();
    vfs.iVersion = 2;
    vfs.szOsFile = static_cast<int>(sizeof(GatherFile)) + below->szOsFile;
    vfs.mxPathname = below->mxPathname;
    vfs.zName = "devhost-wal-gather";
    vfs.xOpen = GatherOpen;
    vfs.xDelete = GatherDelete;
    vfs.xAccess = GatherAccess;
    vfs.xFullPathname = GatherFullPathname;
    vfs.xDlOpen = GatherDlOpen;
    vfs.xDlError = GatherDlError;
    vfs.xDlSym = GatherDlSym;
    vfs.xDlClose = GatherDlClose;
    vfs.xRandomness = GatherRandomness;
    vfs.xSleep = GatherSleep;
    vfs.xCurrentTime = GatherCurrentTime;
    vfs.xGetLastError = GatherGetLastError;
    vfs.xCurrentTimeInt64 = GatherCurrentTimeInt64;
    sqlite3_vfs_register(&vfs, 0);
  });
  return vfs.zName;
}

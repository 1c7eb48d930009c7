// SPDX-License-Identifier: Apache-2.0
#include "line/PortLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "line/SerialLine.h"

namespace {

struct LockEntry {
  std::string kind;
  pid_t pid = 0;
  unsigned fsMajor = 0;
  unsigned fsMinor = 0;
  unsigned long long inode = 0;
};

// One line of /proc/locks: "1: FLOCK  ADVISORY  WRITE 4242 00:1a:3 0 EOF". The file is named
// by the device of the filesystem it lives on (major:minor, hexadecimal) and its inode number
// (decimal). A process waiting for a lock has "->" in place of the kind: it holds nothing.
bool ParseLockLine(const std::string& line, LockEntry& entry) {
  std::istringstream fields(line);
  std::string number, mode, access, file;
  if (!(fields >> number >> entry.kind >> mode >> access >> entry.pid >> file)) return false;
  return std::sscanf(file.c_str(), "%x:%x:%llu", &entry.fsMajor, &entry.fsMinor, &entry.inode) == 3;
}

// The process holding a flock on the file `node` describes; 0 when there is none, or when it
// is not visible from this process's pid namespace (/proc/locks shows it as 0 then).
pid_t FlockHolder(const struct stat& node) {
  std::ifstream locks("/proc/locks");
  LockEntry entry;
  for (std::string line; std::getline(locks, line);) {
    if (!ParseLockLine(line, entry) || entry.kind != "FLOCK" || entry.pid <= 0) continue;
    if (entry.fsMajor == major(node.st_dev) && entry.fsMinor == minor(node.st_dev) &&
        entry.inode == node.st_ino) {
      return entry.pid;
    }
  }
  return 0;
}

std::string InUse(const std::string& device, pid_t holder) {
  std::string message = "serial device " + device + " is in use by another process";
  if (holder > 0) message += " (pid " + std::to_string(holder) + ")";
  return message;
}

}  // namespace

std::string PortInUse(const std::string& device) {
  // stat follows the path to the device node itself (a simulator's link leads to /dev/pts/N),
  // which is the file the holder's lock is on.
  struct stat node {};
  return InUse(device, stat(device.c_str(), &node) == 0 ? FlockHolder(node) : 0);
}

PortLock::PortLock(const std::string& device) : device_(device) {
  // Non-blocking: a serial port without carrier would otherwise hold the open up.
  fd_ = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0) {
    const int error = errno;
    // Another non-root process has the device in exclusive mode.
    if (error == EBUSY) throw SerialError(PortInUse(device));
    throw SerialError("cannot open serial device " + device + ": " + std::strerror(error));
  }
  if (flock(fd_, LOCK_EX | LOCK_NB) == 0) return;
  const int error = errno;
  // The open descriptor names the very node the lock is on, whatever the path went through.
  struct stat node {};
  const pid_t holder = error == EWOULDBLOCK && fstat(fd_, &node) == 0 ? FlockHolder(node) : 0;
  close(fd_);
  if (error == EWOULDBLOCK) throw SerialError(InUse(device, holder));
  throw SerialError("cannot lock serial device " + device + ": " + std::strerror(error));
}

PortLock::~PortLock() {
  // Exclusive mode belongs to the terminal, not to a descriptor: while anything else keeps the
  // terminal open (the simulator keeps its side of a pseudo-terminal open throughout), it would
  // outlive this host and shut out the next non-root one.
  if (exclusive_) ioctl(fd_, TIOCNXCL);
  close(fd_);
}

void PortLock::MakeExclusive() {
  if (ioctl(fd_, TIOCEXCL) != 0) {
    throw SerialError("cannot take serial device " + device_ +
                      " exclusively: " + std::strerror(errno));
  }
  exclusive_ = true;
}

void PortLock::LeaveExclusive() {
  if (exclusive_) ioctl(fd_, TIOCNXCL);
  exclusive_ = false;
}

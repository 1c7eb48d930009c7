// SPDX-License-Identifier: Apache-2.0
#include "line/PortLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <dirent.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
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

// A process other than this one with the terminal `node` open, among those whose descriptors
// this process may look at (its own user's, or every one for root); 0 when none.
pid_t OpenedBy(const struct stat& node) {
  DIR* processes = opendir("/proc");
  if (processes == nullptr) return 0;
  pid_t found = 0;
  while (const dirent* entry = readdir(processes)) {
    const pid_t pid = static_cast<pid_t>(std::strtol(entry->d_name, nullptr, 10));
    if (pid <= 0 || pid == getpid()) continue;
    const std::string fds = "/proc/" + std::string(entry->d_name) + "/fd";
    DIR* descriptors = opendir(fds.c_str());
    if (descriptors == nullptr) continue;
    while (const dirent* fd = readdir(descriptors)) {
      struct stat opened {};
      if (fd->d_name[0] != '.' && stat((fds + "/" + fd->d_name).c_str(), &opened) == 0 &&
          S_ISCHR(opened.st_mode) && opened.st_rdev == node.st_rdev) {
        found = pid;
        break;
      }
    }
    closedir(descriptors);
    if (found != 0) break;
  }
  closedir(processes);
  return found;
}

// "devhost" of /proc/PID/comm; empty when it is gone.
std::string CommandOf(pid_t pid) {
  std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  std::getline(comm, name);
  return name;
}

std::string InUse(const std::string& device, pid_t holder) {
  std::string message = "serial device " + device + " is in use by another process";
  if (holder <= 0) return message;
  const std::string command = CommandOf(holder);
  return message + " (pid " + std::to_string(holder) + (command.empty() ? "" : ", " + command) +
         ")";
}

// A service with PrivateTmp=yes (the packaged unit) has a /tmp of its own: a link made in the
// system's /tmp (socat, the simulator) is not there.
std::string PrivateTmpHint(const std::string& device, int error) {
  if (error != ENOENT || (device.rfind("/tmp/", 0) != 0 && device.rfind("/var/tmp/", 0) != 0)) {
    return {};
  }
  return " (a service with PrivateTmp=yes, as the packaged devhost.service, has a /tmp of its "
         "own: give the device a path outside /tmp and /var/tmp)";
}

// UNIX 98 pseudo-terminal slaves (/dev/pts/N): majors 136 to 143.
bool PseudoTerminal(int fd) {
  struct stat node {};
  return fstat(fd, &node) == 0 && S_ISCHR(node.st_mode) && major(node.st_rdev) >= 136 &&
         major(node.st_rdev) <= 143;
}

}  // namespace

std::string PortInUse(const std::string& device) {
  // stat follows the path to the device node itself (a simulator's link leads to /dev/pts/N),
  // which is the file the holder's lock is on.
  struct stat node {};
  if (stat(device.c_str(), &node) != 0) return InUse(device, 0);
  const pid_t locker = FlockHolder(node);
  return InUse(device, locker > 0 ? locker : OpenedBy(node));
}

PortLock::PortLock(const std::string& device) : device_(device) {
  // Non-blocking: a serial port without carrier would otherwise hold the open up.
  fd_ = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0) {
    const int error = errno;
    // Another non-root process has the device in exclusive mode.
    if (error == EBUSY) throw SerialError(PortInUse(device));
    throw SerialError("cannot open serial device " + device + ": " + std::strerror(error) +
                      PrivateTmpHint(device, error));
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

// What a killed holder leaves: exclusive mode is a flag of the kernel's tty, which lives while
// any descriptor of it is open. A real serial port's tty is released with its last close, so
// a holder killed with SIGKILL takes the mode with it and the next open succeeds. A
// pseudo-terminal's slave lives while its master side is open (the simulator, socat): the mode
// outlives the killed host, the kernel refuses every later non-root open with EBUSY, and no
// unprivileged process can clear it (TIOCNXCL needs a descriptor, the open is what is
// refused). An unprivileged host on a pseudo-terminal therefore relies on the flock alone,
// which goes with its holder; root, whom exclusive mode never shuts out, takes both.
void PortLock::MakeExclusive() {
  if (geteuid() != 0 && PseudoTerminal(fd_)) return;
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

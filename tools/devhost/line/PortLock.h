// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>

// A serial line belongs to one host at a time: two hosts on one line would garble each other's
// exchanges.
//
// Holds the serial device for this process alone, on a descriptor of its own: an exclusive
// flock on the device node keeps out every other host whoever runs it, and the terminal's
// exclusive mode makes the kernel refuse any other non-root opener as well.
class PortLock {
 public:
  // Opens the device node and takes the flock, before anything configures the line: a host
  // that is refused never touches the settings of a line in use. Throws SerialError when the
  // node cannot be opened, or when another process holds it (naming the process where it can
  // be found).
  explicit PortLock(const std::string& device);
  // Leaves exclusive mode and closes; the flock goes with the descriptor.
  ~PortLock();
  PortLock(const PortLock&) = delete;
  PortLock& operator=(const PortLock&) = delete;

  // Exclusive mode, once the line's own descriptor is open: set earlier, it would refuse that
  // very open to a non-root host. Not taken by a non-root host on a pseudo-terminal, where a
  // killed holder's mode would stay (see PortLock.cpp).
  void MakeExclusive();
  // Lets the line's own descriptor be opened again (a new speed needs a new libmodbus
  // context); the flock stays, so no other host gets in meanwhile.
  void LeaveExclusive();

 private:
  std::string device_;
  int fd_ = -1;
  bool exclusive_ = false;
};

// "serial device D is in use by another process (pid N, COMMAND)": the process holding a flock
// on the device node, else one that has it open (among the processes this one may look at);
// without the pid when neither is found.
std::string PortInUse(const std::string& device);

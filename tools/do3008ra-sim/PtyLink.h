// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>

// A pseudo-terminal pair for the simulator. The simulator serves on the master side; a host
// opens the slave side by its path. The slave side is also kept open here, so that the master
// never sees a hang-up while no host is connected (reads would otherwise fail with EIO).
class PtyLink {
 public:
  // Throws std::system_error when no pseudo-terminal can be had or the link cannot be made.
  explicit PtyLink(const std::string& linkPath);
  ~PtyLink();
  PtyLink(const PtyLink&) = delete;
  PtyLink& operator=(const PtyLink&) = delete;

  int MasterFd() const { return master_; }
  int SlaveFd() const { return slave_; }
  const std::string& SlavePath() const { return slavePath_; }
  // Gives the slave side to `group` (a name or a number), mode 0660: a host running as another
  // user of that group may then open it. Throws std::system_error when it cannot.
  void GiveToGroup(const std::string& group);
  // The speed a host last set on the slave side, in baud; 0 when unknown.
  int LineBaud() const;
  // Bits a character takes with the framing a host last set on the slave side: start, data,
  // parity and stop bits.
  int LineBits() const;

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string slavePath_;
  std::string linkPath_;
};

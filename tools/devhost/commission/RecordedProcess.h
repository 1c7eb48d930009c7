// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>

// A process as a record names it: its pid alone is not enough, since a pid is given again after
// its process ended, and a host that is PID 1 (in a container) has the same pid at every start.
// Its start time since boot and the boot it ran in tell it from a later process with its pid.
struct RecordedProcess {
  long pid = 0;
  long long started = 0;  // clock ticks after boot (/proc/PID/stat); 0: not recorded
  std::string boot;       // /proc/sys/kernel/random/boot_id; empty: not recorded

  static RecordedProcess Self();
  // Whether that very process still runs: never this process's own pid (a record of it is left
  // by an earlier process with the same pid), never one of another boot or start time.
  bool StillRunning() const;
  // "pid 412", "pid 1, this host's own pid, of an earlier start".
  std::string Text() const;
};

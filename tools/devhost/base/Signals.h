// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <chrono>

// SIGINT, SIGTERM, SIGHUP and every other signal whose default ends the process without a core
// (SIGUSR1, SIGUSR2, SIGALRM, SIGPWR, SIGVTALRM, SIGIO, SIGPROF, SIGSTKFLT, the real-time ones)
// and SIGXCPU ask the host to stop; loops check between exchanges and while they wait. SIGPIPE is
// ignored: writes to a reader that went away fail instead.
void InstallStopHandlers();
// From now on SIGHUP asks for the configuration to be read again instead (a running service).
void ReloadOnHangup();
// The process has a terminal whose hang-up the kernel tells with SIGHUP; without one (a service,
// a container, setsid) a SIGHUP can only be someone's request.
bool HasControllingTerminal();
// True once per SIGHUP received since the last call.
bool TakeReloadRequest();
bool StopRequested();
// Sleeps until `deadline` in one wait, returning early once a stop is requested. True when
// stopped.
bool WaitForStopUntil(std::chrono::steady_clock::time_point deadline);

enum class WakeReason { kStop, kDeadline, kReadable };
// Like WaitForStopUntil, and also returns early when `descriptor` becomes readable.
WakeReason WaitUntil(std::chrono::steady_clock::time_point deadline, int descriptor);
// The descriptor that becomes readable once a stop is requested (-1 without handlers).
int StopDescriptor();

// SPDX-License-Identifier: Apache-2.0
#include "base/Signals.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <initializer_list>

namespace {

// Read by every line's thread: volatile sig_atomic_t is only safe within the handler's own thread.
// A lock-free atomic is safe in a signal handler too.
std::atomic<int> stopRequested{0};
static_assert(std::atomic<int>::is_always_lock_free);
// Written once by the handler and never read: it stays readable from then on, so every waiter,
// on every thread and at any later time, wakes. A signal handler may write to a pipe; it may
// not wake a condition variable.
int stopPipe[2] = {-1, -1};

std::atomic<int> reloadRequested{0};

void OnReloadSignal(int) { reloadRequested = 1; }

void OnStopSignal(int) {
  const int savedErrno = errno;
  stopRequested = 1;
  if (stopPipe[1] >= 0) {
    const char byte = 1;
    (void)!write(stopPipe[1], &byte, 1);
  }
  errno = savedErrno;
}

timespec Remaining(std::chrono::steady_clock::duration left) {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
  const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(left - seconds);
  return timespec{static_cast<std::time_t>(seconds.count()),
                  static_cast<long>(nanoseconds.count())};
}

}  // namespace

void InstallStopHandlers() {
  if (stopPipe[0] < 0 && pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    stopPipe[0] = stopPipe[1] = -1;  // waits then run to their deadline; stopping still works
  }
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  // A closed terminal stops the host as cleanly as SIGTERM does; so does every signal whose
  // default is to end the process without a word (a stray kill -USR1, an alarm nobody set, a
  // power-failure notice, a CPU-time limit, a real-time signal).
  for (const int other :
       {SIGHUP, SIGUSR1, SIGUSR2, SIGALRM, SIGPWR, SIGVTALRM, SIGIO, SIGPROF, SIGXCPU, SIGSTKFLT}) {
    sigaction(other, &action, nullptr);
  }
  for (int realTime = SIGRTMIN; realTime <= SIGRTMAX; ++realTime) {
    sigaction(realTime, &action, nullptr);
  }
  // A reader that went away is a failed write (EPIPE), handled where it is written.
  signal(SIGPIPE, SIG_IGN);
}

void ReloadOnHangup() {
  struct sigaction action {};
  action.sa_handler = OnReloadSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGHUP, &action, nullptr);
}

bool HasControllingTerminal() {
  const int fd = open("/dev/tty", O_RDONLY | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;
  close(fd);
  return true;
}

bool TakeReloadRequest() { return reloadRequested.exchange(0) != 0; }

bool StopRequested() { return stopRequested != 0; }

bool WaitForStopUntil(std::chrono::steady_clock::time_point deadline) {
  return WaitUntil(deadline, -1) == WakeReason::kStop;
}

WakeReason WaitUntil(std::chrono::steady_clock::time_point deadline, int descriptor) {
  // Descriptors of -1 are ignored by poll: without handlers the wait is a plain sleep.
  pollfd watched[2] = {{stopPipe[0], POLLIN, 0}, {descriptor, POLLIN, 0}};
  for (;;) {
    if (StopRequested()) return WakeReason::kStop;
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) return WakeReason::kDeadline;
    const timespec timeout = Remaining(left);
    // Interrupted by the stop signal (or another one): look again.
    if (ppoll(watched, 2, &timeout, nullptr) > 0 && (watched[1].revents & POLLIN) != 0) {
      return StopRequested() ? WakeReason::kStop : WakeReason::kReadable;
    }
  }
}

int StopDescriptor() { return stopPipe[0]; }

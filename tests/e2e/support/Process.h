// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

// Programs run by the end-to-end tests, always with a time limit: a hung program is killed and
// reported, never waited for without end.
struct ProcessResult {
  int exitCode = -1;  // -1 when killed or ended by a signal
  bool timedOut = false;
  std::string out;
  std::string err;
};

ProcessResult RunProgram(const std::vector<std::string>& argv, std::chrono::seconds limit);

// A program left running in the background (the simulator, a host); stopped with SIGTERM when
// the object goes. Every one alive is known, so that a failed wait can tell how each stands.
class BackgroundProcess {
 public:
  BackgroundProcess(const std::vector<std::string>& argv, const std::string& outputFile);
  ~BackgroundProcess();
  BackgroundProcess(const BackgroundProcess&) = delete;
  BackgroundProcess& operator=(const BackgroundProcess&) = delete;

  pid_t Pid() const { return pid_; }
  // Sends SIGTERM and waits (at most `limit`, stretched for the tree, then SIGKILL); the exit
  // code, -1 if killed or ended by a signal. A program that had already ended gives its code.
  int Stop(std::chrono::milliseconds limit = std::chrono::milliseconds(3000));
  // Kills it with SIGKILL, as a power cut would, and reaps it.
  void Kill();
  // "name (pid N) is running" or "... exited with status N" / "... was ended by signal N",
  // then its last lines of output.
  std::string State();
  // The state of every background program alive in this process.
  static std::string AllStates();

 private:
  // Reaps the program if it has ended; true if it has.
  bool Ended();
  int ExitCode() const;

  pid_t pid_ = -1;
  std::string name_;
  std::string output_;
  std::optional<int> waitStatus_;
};

// A program's command line made ready for execv before a fork. The tests have threads (a
// subscriber's network thread): a child that allocated could wait forever for an allocator lock
// another thread held at the fork, so the child only makes system calls.
class ExecArgs {
 public:
  explicit ExecArgs(const std::vector<std::string>& programArgv);
  ExecArgs(const ExecArgs&) = delete;  // its pointers point into its own strings
  ExecArgs& operator=(const ExecArgs&) = delete;
  // In the forked child: becomes the program (exit 127, said on standard error, when it cannot).
  [[noreturn]] void Exec() const;

 private:
  std::vector<std::string> argv_;
  std::vector<char*> pointers_;
  std::string failure_;
};
// Waits for the program to end within `limit` (stretched for the tree); the exit code, or -1
// after killing it.
int WaitForExit(pid_t pid, std::chrono::milliseconds limit);
std::string ReadFile(const std::string& path);
// The last `count` lines of `text`.
std::string LastLines(const std::string& text, int count);

// SPDX-License-Identifier: Apache-2.0
#include "Process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "TempDir.h"
#include "Wait.h"

namespace {

pid_t Spawn(const std::vector<std::string>& argv, const std::string& out, const std::string& err) {
  const ExecArgs program(argv);
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    const int outFd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int errFd = err == out ? outFd : open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int nullFd = open("/dev/null", O_RDONLY);
    dup2(nullFd, 0);
    dup2(outFd, 1);
    dup2(errFd, 2);
    program.Exec();
  }
  return pid;
}

// In a cross build the host and the simulator are the target's programs: they run under the
// build's crossing emulator, given as one space-separated command.
std::vector<std::string> Emulated(const std::vector<std::string>& argv) {
#ifdef E2E_EMULATOR
  if (!argv.empty() && (argv[0] == DEVHOST_PATH || argv[0] == SIM_PATH)) {
    std::vector<std::string> command;
    std::istringstream words(E2E_EMULATOR);
    for (std::string word; words >> word;) command.push_back(word);
    command.insert(command.end(), argv.begin(), argv.end());
    return command;
  }
#endif
  return argv;
}

std::mutex& LivingMutex() {
  static std::mutex mutex;
  return mutex;
}

std::vector<BackgroundProcess*>& Living() {
  static std::vector<BackgroundProcess*> living;
  return living;
}

int CodeOfStatus(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

}  // namespace

ExecArgs::ExecArgs(const std::vector<std::string>& programArgv)
    : argv_(Emulated(programArgv)), failure_("cannot run " + argv_.at(0) + ": ") {
  for (std::string& arg : argv_) pointers_.push_back(arg.data());
  pointers_.push_back(nullptr);
}

void ExecArgs::Exec() const {
  execv(pointers_[0], pointers_.data());
  // Told on the program's own error output, which the test reads when a wait for it fails.
  const char* known = strerrordesc_np(errno);
  const char* why = known != nullptr ? known : "unknown error";
  if (write(2, failure_.data(), failure_.size()) < 0 || write(2, why, std::strlen(why)) < 0 ||
      write(2, "\n", 1) < 0) {
    _exit(126);
  }
  _exit(127);
}

int WaitForExit(pid_t pid, std::chrono::milliseconds limit) {
  const auto until = std::chrono::steady_clock::now() + Scaled(limit);
  int status = 0;
  for (;;) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return CodeOfStatus(status);
    if (done < 0) return -1;
    if (std::chrono::steady_clock::now() >= until) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::string LastLines(const std::string& text, int count) {
  std::size_t from = text.size();
  if (from > 0 && text[from - 1] == '\n') --from;
  for (int lines = 0; lines < count && from > 0; ++lines) {
    const std::size_t newline = text.rfind('\n', from - 1);
    from = newline == std::string::npos ? 0 : newline;
  }
  if (from > 0) ++from;
  const std::size_t kMostChars = 4000;
  from = std::max(from, text.size() > kMostChars ? text.size() - kMostChars : 0);
  return text.substr(from);
}

ProcessResult RunProgram(const std::vector<std::string>& argv, std::chrono::seconds limit) {
  TempDir dir;
  const std::string out = dir.Path("out");
  const std::string err = dir.Path("err");
  const pid_t pid = Spawn(argv, out, err);
  const auto started = std::chrono::steady_clock::now();
  ProcessResult result;
  result.exitCode = WaitForExit(pid, limit);
  result.timedOut = std::chrono::steady_clock::now() - started >= Scaled(limit);
  result.out = ReadFile(out);
  result.err = ReadFile(err);
  return result;
}

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& argv,
                                     const std::string& outputFile)
    : pid_(Spawn(argv, outputFile, outputFile)),
      name_(argv.empty() ? "" : argv[0].substr(argv[0].rfind('/') + 1)),
      output_(outputFile) {
  name_ += " (pid " + std::to_string(pid_) + ")";
  std::lock_guard<std::mutex> lock(LivingMutex());
  Living().push_back(this);
}

BackgroundProcess::~BackgroundProcess() {
  if (pid_ > 0) Stop();
  std::lock_guard<std::mutex> lock(LivingMutex());
  Living().erase(std::remove(Living().begin(), Living().end(), this), Living().end());
}

bool BackgroundProcess::Ended() {
  if (waitStatus_) return true;
  if (pid_ <= 0) return false;
  int status = 0;
  if (waitpid(pid_, &status, WNOHANG) != pid_) return false;
  waitStatus_ = status;
  return true;
}

int BackgroundProcess::ExitCode() const { return waitStatus_ ? CodeOfStatus(*waitStatus_) : -1; }

int BackgroundProcess::Stop(std::chrono::milliseconds limit) {
  if (pid_ <= 0) return -1;
  if (Ended()) {
    pid_ = -1;
    return ExitCode();
  }
  kill(pid_, SIGTERM);
  const int code = WaitForExit(pid_, limit);
  pid_ = -1;
  return code;
}

void BackgroundProcess::Kill() {
  if (pid_ <= 0) return;
  if (!Ended()) {
    kill(pid_, SIGKILL);
    WaitForExit(pid_, std::chrono::milliseconds(5000));
  }
  pid_ = -1;
}

std::string BackgroundProcess::State() {
  std::ostringstream state;
  state << name_;
  if (pid_ <= 0 && !waitStatus_) {
    state << " was stopped by the test";
  } else if (!Ended()) {
    state << " is running";
  } else if (WIFEXITED(*waitStatus_)) {
    state << " exited with status " << WEXITSTATUS(*waitStatus_);
  } else {
    state << " was ended by signal " << WTERMSIG(*waitStatus_);
  }
  const std::string lines = LastLines(ReadFile(output_), 8);
  state << (lines.empty() ? "; it wrote nothing" : "; its last lines:\n" + lines);
  return state.str();
}

std::string BackgroundProcess::AllStates() {
  std::lock_guard<std::mutex> lock(LivingMutex());
  if (Living().empty()) return "no program of the test runs in the background";
  std::string states;
  for (BackgroundProcess* process : Living()) states += process->State() + "\n";
  return states;
}

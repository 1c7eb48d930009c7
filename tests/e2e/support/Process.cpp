// SPDX-License-Identifier: Apache-2.0
#include "Process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "TempDir.h"

namespace {

pid_t Spawn(const std::vector<std::string>& argv, const std::string& out, const std::string& err) {
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    const int outFd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int errFd = err == out ? outFd : open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int nullFd = open("/dev/null", O_RDONLY);
    dup2(nullFd, 0);
    dup2(outFd, 1);
    dup2(errFd, 2);
    ExecProgram(argv);
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

}  // namespace

void ExecProgram(const std::vector<std::string>& programArgv) {
  const std::vector<std::string> argv = Emulated(programArgv);
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  execv(args[0], args.data());
  _exit(127);
}

int WaitForExit(pid_t pid, std::chrono::milliseconds limit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  int status = 0;
  for (;;) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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

ProcessResult RunProgram(const std::vector<std::string>& argv, std::chrono::seconds limit) {
  TempDir dir;
  const std::string out = dir.Path("out");
  const std::string err = dir.Path("err");
  const pid_t pid = Spawn(argv, out, err);
  const auto started = std::chrono::steady_clock::now();
  ProcessResult result;
  result.exitCode = WaitForExit(pid, limit);
  result.timedOut = std::chrono::steady_clock::now() - started >= limit;
  result.out = ReadFile(out);
  result.err = ReadFile(err);
  return result;
}

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& argv,
                                     const std::string& outputFile)
    : pid_(Spawn(argv, outputFile, outputFile)) {}

BackgroundProcess::~BackgroundProcess() {
  if (pid_ > 0) Stop();
}

int BackgroundProcess::Stop(std::chrono::milliseconds limit) {
  if (pid_ <= 0) return -1;
  kill(pid_, SIGTERM);
  const int code = WaitForExit(pid_, limit);
  pid_ = -1;
  return code;
}

void BackgroundProcess::Kill() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  WaitForExit(pid_, std::chrono::milliseconds(5000));
  pid_ = -1;
}

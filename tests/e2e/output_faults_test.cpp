// SPDX-License-Identifier: Apache-2.0
// What devhost prints going nowhere: a full disk under its output, a reader that went away, and
// the terminal hung up. The command says so and fails; a running host keeps its work.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Bench.h"
#include "Text.h"

namespace {

using namespace std::chrono_literals;

// `argv` with its standard output on the pipe's write end and standard error in `errFile`.
pid_t StartOnPipe(const std::vector<std::string>& argv, const int pipeFds[2],
                  const std::string& errFile) {
  const ExecArgs program(argv);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(pipeFds[1], 1);
    close(pipeFds[0]);  // the test's end alone: closing it is the reader going away
    dup2(open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
    program.Exec();
  }
  return pid;
}

TEST(OutputFaults, ACommandWhoseOutputCannotBeWrittenFails) {
  Bench bench;
  bench.StartSensor({"--static"});
  const std::string config = bench.Config(Mode5Settings());
  ASSERT_EQ(bench.Host({"run", config, "--cycles", "2"}).exitCode, 0);
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"status", config}, {"history", config}}) {
    std::vector<std::string> argv{"/bin/sh", "-c", "exec \"$0\" \"$@\" > /dev/full"};
    for (const std::string& arg : bench.HostCommand(args)) argv.push_back(arg);
    const auto full = RunProgram(argv, 30s);
    EXPECT_EQ(full.exitCode, 1) << args[0];
    EXPECT_TRUE(Contains(full.err, "cannot write standard output: No space left on device"))
        << full.err;
  }
  const auto csv = bench.Host({"history", config, "--csv", "/dev/full"});
  EXPECT_EQ(csv.exitCode, 5);
  EXPECT_TRUE(Contains(csv.err, "cannot write /dev/full: No space left on device")) << csv.err;
}

TEST(OutputFaults, AHostWhoseReaderWentAwayPollsOnAndStopsCleanlyOnSigterm) {
  Bench bench;
  bench.StartSensor({"--static"});
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  const std::string err = bench.dir.Path("host.err");
  const pid_t host =
      StartOnPipe(bench.HostCommand({"run", bench.Config(Mode5Settings(), 50)}), pipeFds, err);
  close(pipeFds[1]);
  char byte = 0;
  while (read(pipeFds[0], &byte, 1) == 1 && byte != '\n') {
  }
  close(pipeFds[0]);  // as `| head -1` does

  // Its next lines fail; it still stores what it polls.
  ASSERT_TRUE(WaitForText(err, "standard output failed")) << ReadFile(err);
  const auto rows = [&] { return QueryCount(bench.Database(), "SELECT COUNT(*) FROM history"); };
  const long long before = rows();
  for (int i = 0; i < 1000 && rows() < before + 5; ++i) usleep(10000);
  EXPECT_GE(rows(), before + 5);

  // (A SIGHUP would stop it only where it has a terminal; without one it reads its
  // configuration again.)
  kill(host, SIGTERM);
  EXPECT_EQ(WaitForExit(host, 5000ms), 1);  // ended by itself, not by the signal
  const std::string log = ReadFile(err);
  EXPECT_EQ(CountOf(log, "standard output failed"), 1) << log;
  EXPECT_TRUE(Contains(log, "cannot write standard output")) << log;
  struct stat info {};
  EXPECT_NE(stat(bench.dir.Path("host.sock").c_str(), &info), 0);
}

}  // namespace

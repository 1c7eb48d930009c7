// SPDX-License-Identifier: Apache-2.0
// A serial line belongs to one host at a time: a second host started on a line in use is
// refused before it touches the line, the first one polls on undisturbed, and the line is free
// again once the first one stops.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>
#include <thread>

#include "Bench.h"
#include "Wait.h"

namespace {

using namespace std::chrono_literals;

constexpr const char* kSetpriv = "/usr/bin/setpriv";
constexpr uid_t kOtherUser = 65534;  // nobody

// The history rows in a host's database: one a poll cycle; 0 before the database is there.
long long HistoryRows(const std::string& database) {
  try {
    return QueryCount(database, "SELECT COUNT(*) FROM history");
  } catch (const std::exception&) {
    return 0;
  }
}

// Waits (bounded) until a host has stored `count` poll cycles.
void WaitForHistory(const std::string& database, long long count) {
  ASSERT_TRUE(WaitUntil(std::to_string(count) + " cycles stored in " + database, 10s,
                        [&] { return HistoryRows(database) >= count; }))
      << HistoryRows(database) << " rows";
}

// The host's closing summary line for the bench's device, whatever comes before it.
std::string SummaryLine(const std::string& hostOutput) {
  std::istringstream lines(hostOutput);
  for (std::string line; std::getline(lines, line);) {
    if (line.find("summary  12 ") != std::string::npos) return line;
  }
  return "";
}

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Whether the terminal is in exclusive mode: 1 or 0, -1 when that cannot be told. A kernel that
// refuses this process the open has answered too.
int ExclusiveMode(const std::string& tty) {
  const int fd = open(tty.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno == EBUSY ? 1 : -1;
  int exclusive = -1;
  if (ioctl(fd, TIOCGEXCL, &exclusive) != 0) exclusive = -1;
  close(fd);
  return exclusive;
}

std::vector<std::string> AsOtherUser(const std::vector<std::string>& argv) {
  const std::string id = std::to_string(kOtherUser);
  std::vector<std::string> command{kSetpriv, "--reuid=" + id, "--regid=" + id, "--clear-groups"};
  command.insert(command.end(), argv.begin(), argv.end());
  return command;
}

std::string InUse(const std::string& tty, pid_t holder) {
  return "devhost: serial device " + tty + " is in use by another process (pid " +
         std::to_string(holder) + ", devhost)\n";
}

TEST(ExclusivePort, ASecondHostIsRefusedWhileTheFirstPollsOnAndTheLineIsFreeAfterwards) {
  Bench bench;
  bench.StartSensor({"--static"});
  const std::string config = bench.Config(Mode5Settings(), 100);
  const std::string tty = bench.dir.Path("tty");
  const std::string firstOut = bench.dir.Path("first.out");
  BackgroundProcess first(bench.HostCommand({"run", config}), firstOut);
  ASSERT_NO_FATAL_FAILURE(WaitForHistory(bench.Database(), 1));
  EXPECT_EQ(ExclusiveMode(tty), 1);

  // The very same configuration started a second time, database and all.
  const auto second = bench.Host({"run", "--cycles", "1", config}, 20s);
  EXPECT_EQ(second.exitCode, 4);
  EXPECT_EQ(second.err, InUse(tty, first.Pid()));
  EXPECT_EQ(second.out.find("cycle"), std::string::npos) << second.out;
  // Refused, it left the first host's exclusive mode as it was.
  EXPECT_EQ(ExclusiveMode(tty), 1);

  // The first host polls on without a single failed exchange.
  ASSERT_NO_FATAL_FAILURE(WaitForHistory(bench.Database(), HistoryRows(bench.Database()) + 3));
  EXPECT_EQ(first.Stop(5000ms), 0);
  const std::string out = ReadFile(firstOut);
  EXPECT_TRUE(EndsWith(SummaryLine(out), "  errors 0")) << out;

  // Given back on the way out, exclusive mode included: the simulator keeps its side of the
  // terminal open, so the mode would otherwise stay and refuse the next non-root host.
  EXPECT_EQ(ExclusiveMode(tty), 0);
  const long long stored = HistoryRows(bench.Database());
  const auto third = bench.Host({"run", "--cycles", "2", config}, 20s);
  EXPECT_EQ(third.exitCode, 0) << third.err;
  EXPECT_EQ(HistoryRows(bench.Database()), stored + 2);
}

// Only the port lock stands between a second host and the line here: it has a control socket
// and a database of its own. The first host's polling never sees it.
TEST(ExclusivePort, ASecondHostWithItsOwnSocketAndStoreIsRefusedByThePortLock) {
  Bench bench;
  bench.StartSensor({"--static"});
  const std::string config = bench.Config(Mode5Settings(), 100);
  const std::string tty = bench.dir.Path("tty");
  bench.dir.Write("second.json", R"({"controlSocket": ")" + bench.dir.Path("second.sock") + "\", " +
                                     ReadFile(config).substr(1));
  BackgroundProcess first(bench.HostCommand({"run", config}), bench.dir.Path("first.out"));
  ASSERT_NO_FATAL_FAILURE(WaitForHistory(bench.Database(), 1));

  const auto second = RunProgram(
      {DEVHOST_PATH, "run", "--cycles", "2", bench.dir.Path("second.json"), "--db",
       bench.dir.Path("second.db"), "--plugin-dir", PLUGIN_DIR, "--plugin-log", "/dev/null"},
      20s);
  EXPECT_EQ(second.exitCode, 4) << second.out << second.err;
  EXPECT_EQ(second.err, InUse(tty, first.Pid()));
  EXPECT_EQ(HistoryRows(bench.dir.Path("second.db")), 0);

  ASSERT_NO_FATAL_FAILURE(WaitForHistory(bench.Database(), HistoryRows(bench.Database()) + 3));
  EXPECT_EQ(first.Stop(5000ms), 0);
  const std::string out = ReadFile(bench.dir.Path("first.out"));
  EXPECT_TRUE(EndsWith(SummaryLine(out), "  errors 0")) << out;
  EXPECT_EQ(out.find("error    12"), std::string::npos) << out;
}

TEST(ExclusivePort, AnUnprivilegedHostIsRefusedByTheKernelAndNamesTheHolderWhereThereIsOne) {
  // Root opens a terminal in exclusive mode regardless; an unprivileged host is refused at the
  // open itself. Run as another user, the test above takes that path already.
  if (geteuid() != 0 || access(kSetpriv, X_OK) != 0) {
    GTEST_SKIP() << "needs root and " << kSetpriv << " to run a host as another user";
  }
  Bench bench;
  bench.StartSensor({"--static"});
  const std::string config = bench.Config(Mode5Settings(), 100);
  const std::string tty = bench.dir.Path("tty");
  // Open to the other user: the folder, the configuration, the terminal and a database folder.
  const std::string otherDir = bench.dir.Path("other");
  ASSERT_EQ(mkdir(otherDir.c_str(), 0755), 0);
  ASSERT_EQ(chown(otherDir.c_str(), kOtherUser, kOtherUser), 0);
  ASSERT_EQ(chmod(bench.dir.Path().c_str(), 0755), 0);
  ASSERT_EQ(chmod(config.c_str(), 0644), 0);
  ASSERT_EQ(chmod(tty.c_str(), 0666), 0);
  const auto otherHost =
      AsOtherUser({DEVHOST_PATH, "run", "--cycles", "1", config, "--db", otherDir + "/host.db",
                   "--plugin-dir", PLUGIN_DIR, "--plugin-log", "/dev/null"});

  BackgroundProcess first(bench.HostCommand({"run", config}), bench.dir.Path("first.out"));
  ASSERT_NO_FATAL_FAILURE(WaitForHistory(bench.Database(), 1));
  ASSERT_EQ(ExclusiveMode(tty), 1);
  const auto refused = RunProgram(otherHost, 20s);
  EXPECT_EQ(refused.exitCode, 4);
  EXPECT_EQ(refused.err, InUse(tty, first.Pid()));

  // Once the first host has given the line back, the kernel lets the other user in.
  EXPECT_EQ(first.Stop(5000ms), 0);
  const auto taken = RunProgram(otherHost, 20s);
  EXPECT_EQ(taken.exitCode, 0) << taken.err;
  EXPECT_EQ(HistoryRows(otherDir + "/host.db"), 1);

  // A program that holds the line in exclusive mode without a lock: refused all the same, with
  // no holder to name.
  const int holder = open(tty.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(ioctl(holder, TIOCEXCL), 0);
  const auto unnamed = RunProgram(otherHost, 20s);
  ioctl(holder, TIOCNXCL);
  close(holder);
  EXPECT_EQ(unnamed.exitCode, 4);
  EXPECT_EQ(unnamed.err, "devhost: serial device " + tty + " is in use by another process\n");
}

// An unprivileged host killed with SIGKILL cannot leave exclusive mode: on a pseudo-terminal,
// whose other side stays open, that mode would outlive it and the kernel would refuse the next
// unprivileged host for good. The flock goes with the killed process: the next host polls.
TEST(ExclusivePort, AnUnprivilegedHostKilledWithSigkillLeavesALineTheNextOneOpens) {
  if (geteuid() != 0 || access(kSetpriv, X_OK) != 0) {
    GTEST_SKIP() << "needs root and " << kSetpriv << " to run a host as another user";
  }
  Bench bench;
  bench.StartSensor({"--static"});
  const std::string config = bench.Config(Mode5Settings(), 100);
  const std::string tty = bench.dir.Path("tty");
  const std::string otherDir = bench.dir.Path("other");
  ASSERT_EQ(mkdir(otherDir.c_str(), 0755), 0);
  ASSERT_EQ(chown(otherDir.c_str(), kOtherUser, kOtherUser), 0);
  ASSERT_EQ(chmod(bench.dir.Path().c_str(), 0755), 0);
  ASSERT_EQ(chmod(config.c_str(), 0644), 0);
  ASSERT_EQ(chmod(tty.c_str(), 0666), 0);
  const std::string database = otherDir + "/host.db";
  const auto otherHost = [&](const std::vector<std::string>& options) {
    std::vector<std::string> argv{DEVHOST_PATH,   "run",      config,         "--db",     database,
                                  "--plugin-dir", PLUGIN_DIR, "--plugin-log", "/dev/null"};
    argv.insert(argv.end(), options.begin(), options.end());
    return AsOtherUser(argv);
  };
  {
    BackgroundProcess killed(otherHost({}), bench.dir.Path("killed.out"));
    ASSERT_NO_FATAL_FAILURE(WaitForHistory(database, 1));
    killed.Kill();
  }
  const long long stored = HistoryRows(database);
  const auto next = RunProgram(otherHost({"--cycles", "2"}), 20s);
  EXPECT_EQ(next.exitCode, 0) << next.out << next.err;
  EXPECT_EQ(HistoryRows(database), stored + 2);
}

// alarms answers from the store: it lists what the last host knew while another program holds
// the line, and once the line is gone; without a store it fails.
TEST(ExclusivePort, AlarmsAreListedWithoutTakingTheLine) {
  Bench bench;
  bench.StartSensor({"--static", "--temperature", "31"});
  const std::string config = bench.Config(Mode5Settings(30, 28), 100);
  // No store yet: nothing to answer from, and none is made.
  EXPECT_EQ(bench.Host({"alarms", config}).exitCode, 5);
  struct stat info {};
  EXPECT_NE(stat(bench.Database().c_str(), &info), 0);
  ASSERT_EQ(bench.Host({"run", "--cycles", "2", config}).exitCode, 0);

  const std::string tty = bench.dir.Path("tty");
  const int holder = open(tty.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(ioctl(holder, TIOCEXCL), 0);
  const auto held = bench.Host({"alarms", config});
  ioctl(holder, TIOCNXCL);
  close(holder);
  EXPECT_EQ(held.exitCode, 0) << held.err;
  EXPECT_NE(held.out.find("T01001"), std::string::npos) << held.out;

  ASSERT_EQ(bench.StopSensor(), 0);
  const auto gone = bench.Host({"alarms", config});
  EXPECT_EQ(gone.exitCode, 0) << gone.err;
  EXPECT_NE(gone.out.find("T01001"), std::string::npos) << gone.out;
}

}  // namespace

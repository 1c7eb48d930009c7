// SPDX-License-Identifier: Apache-2.0
// The host on a database that does not keep its cycles: refused before polling when it takes no
// writes; another process holding the write lock (sqlite3 opened on the live file) costs stored
// cycles, counted and reported, never polls; a bounded run that stored less says so and fails.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include "Bench.h"
#include "Process.h"
#include "Text.h"
#include "Wait.h"

namespace {

using namespace std::chrono_literals;

// Another process's connection to the host's database.
class OtherConnection {
 public:
  explicit OtherConnection(const std::string& path) { sqlite3_open(path.c_str(), &db_); }
  ~OtherConnection() { sqlite3_close(db_); }
  OtherConnection(const OtherConnection&) = delete;
  OtherConnection& operator=(const OtherConnection&) = delete;
  int Run(const char* sql) { return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr); }

 private:
  sqlite3* db_ = nullptr;
};

struct StoreFaults : ::testing::Test {
  void SetUp() override {
    bench.StartSensor({"--static"});
    ASSERT_EQ(bench.Host({"run", "--cycles", "2", config}).exitCode, 0);
  }
  long long Stored() const { return QueryCount(bench.Database(), "SELECT COUNT(*) FROM history"); }

  Bench bench;
  const std::string config = bench.Config(Mode5Settings(), 100);
};

TEST_F(StoreFaults, ADatabaseThatTakesNoWritesIsRefusedBeforePolling) {
  OtherConnection other(bench.Database());
  ASSERT_EQ(other.Run("CREATE TRIGGER damaged BEFORE INSERT ON history BEGIN "
                      "SELECT RAISE(ABORT, 'database disk image is malformed'); END"),
            SQLITE_OK);
  const auto run = bench.Host({"run", "--cycles", "3", config});
  EXPECT_EQ(run.exitCode, 5) << run.out << run.err;
  EXPECT_EQ(run.err, "devhost: database " + bench.Database() +
                         " takes no writes: database step: database disk image is malformed\n");
  EXPECT_FALSE(Contains(run.out, "cycle ")) << run.out;
}

// Locked for the whole run: at the busy wait of old, 5 s a cycle, twenty cycles would outlast
// the run's limit.
TEST_F(StoreFaults, AWriteLockHeldElsewhereCostsStoredCyclesNotPollsAndFailsABoundedRun) {
  const long long before = Stored();
  OtherConnection other(bench.Database());
  ASSERT_EQ(other.Run("BEGIN IMMEDIATE"), SQLITE_OK);
  const auto run = bench.Host({"run", "--cycles", "20", config}, 40s);
  other.Run("ROLLBACK");

  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.exitCode, 5) << run.out << run.err;
  EXPECT_EQ(CountOf(run.out, "cycle    12"), 20) << run.out;
  EXPECT_TRUE(Contains(run.out, "summary  12    cycles 20  errors 1")) << run.out;
  EXPECT_TRUE(Contains(run.out,
                       "store failed, cycle not stored: database step: database is "
                       "locked"))
      << run.out;
  EXPECT_TRUE(Contains(run.out,
                       ": 20 cycle(s) not stored in this run, the store still failing: "
                       "database step: database is locked"))
      << run.out;
  EXPECT_EQ(Stored(), before);
}

// `: > host.db` beside a running host: the same inode, emptied. Told, polling goes on, and
// nothing is written into it, not even at the stop.
TEST_F(StoreFaults, ADatabaseEmptiedUnderTheHostIsToldAndItsCyclesAreCountedAsNotStored) {
  const std::string log = bench.dir.Path("host.log");
  BackgroundProcess host(bench.HostCommand({"run", config}), log);
  ASSERT_TRUE(WaitForText(log, "cycle    12", 15s)) << ReadFile(log);
  ASSERT_EQ(truncate(bench.Database().c_str(), 0), 0);
  const std::string cut = "database " + bench.Database() + " was emptied or cut short";
  ASSERT_TRUE(WaitForText(log, cut + " while the host ran (0 bytes, ", 30s)) << ReadFile(log);
  const int cycles = static_cast<int>(CountOf(ReadFile(log), "cycle    12"));
  ASSERT_TRUE(WaitForText(log, "cycle    12", 15s, cycles + 3)) << ReadFile(log);
  host.Stop(5000ms);
  EXPECT_TRUE(Contains(ReadFile(log), "not stored in this run, the store still failing: " + cut))
      << ReadFile(log);
  EXPECT_EQ(ReadFile(bench.Database()), "") << "its log copied into what was left";
}

}  // namespace

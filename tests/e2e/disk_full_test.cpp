// SPDX-License-Identifier: Apache-2.0
// The host's database on a file system that fills up: polling and the control socket go on, the
// failure is reported once (then at most once a minute), storing resumes by itself when space
// returns, and nothing stored before is damaged. The file system is a small tmpfs mounted in a
// private mount namespace of the test's, which the host it starts shares.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <json/reader.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <set>
#include <thread>

#include "Bench.h"
#include "Text.h"
#include "Wait.h"

namespace {

using namespace std::chrono_literals;

constexpr long kTmpfsMagic = 0x01021994;

int Count(const std::string& text, const std::string& word, std::size_t from = 0) {
  int found = 0;
  for (auto at = text.find(word, from); at != std::string::npos; at = text.find(word, at + 1)) {
    ++found;
  }
  return found;
}

// The first line of `text` from `from` on that holds `word`; empty when none does.
std::string LineWith(const std::string& text, const std::string& word, std::size_t from = 0) {
  const auto at = text.find(word, from);
  if (at == std::string::npos) return {};
  const auto start = text.rfind('\n', at);
  const auto begin = start == std::string::npos ? 0 : start + 1;
  return text.substr(begin, text.find('\n', at) - begin);
}

// The whole number that follows `word` in `line`; -1 when there is none.
long long NumberAfter(const std::string& line, const std::string& word) {
  const auto at = line.find(word);
  if (at == std::string::npos) return -1;
  std::size_t end = at + word.size();
  long long value = -1;
  for (; end < line.size() && line[end] >= '0' && line[end] <= '9'; ++end) {
    value = (value < 0 ? 0 : value * 10) + (line[end] - '0');
  }
  return value;
}

// Writes to `path` until the file system has no room left; the bytes written.
long long FillUp(const std::string& path) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0) return -1;
  const std::string chunk(64 * 1024, 'x');
  long long written = 0;
  for (;;) {
    const ssize_t put = write(fd, chunk.data(), chunk.size());
    if (put > 0) {
      written += put;
      continue;
    }
    const bool full = put < 0 && errno == ENOSPC;
    close(fd);
    return full ? written : -1;
  }
}

// ---- a real full file system under a running host -----------------------------------------------

// The test's thread moves to a mount namespace of its own (private, so nothing propagates to the
// machine) and mounts a 16 MiB tmpfs for the database; the host, started from it, shares it.
// 16 MiB leave room for the write-ahead log to grow to its checkpoint size (about 4 MiB).
class DiskFull : public ::testing::Test {
 protected:
  virtual const char* Size() const { return "size=16m,mode=0700"; }
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root: mounts a size-limited tmpfs";
    if (unshare(CLONE_NEWNS) != 0) {
      GTEST_SKIP() << "no mount namespace of its own: " << std::strerror(errno);
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      GTEST_SKIP() << "mounts cannot be made private: " << std::strerror(errno);
    }
    store_ = bench.dir.Path("store");
    ASSERT_EQ(mkdir(store_.c_str(), 0700), 0);
    if (mount("tmpfs", store_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, Size()) != 0) {
      GTEST_SKIP() << "tmpfs refused: " << std::strerror(errno);
    }
    mounted_ = true;
  }
  void TearDown() override {
    if (host_) host_->Stop(5000ms);
    if (mounted_) umount2(store_.c_str(), MNT_DETACH);
  }

  std::string HostLog() const { return ReadFile(log_); }

  // The host polling every 50 ms, its database on the tmpfs and its socket outside.
  void StartHost(const std::string& database) {
    bench.StartSensor({"--static"});
    std::string config = ReadFile(bench.Config(Mode5Settings(), 50));
    config.insert(1, R"("controlSocket": ")" + bench.dir.Path("host.sock") + R"(", )");
    bench.dir.Write("host.json", config);
    log_ = bench.dir.Path("host.log");
    host_ = std::make_unique<BackgroundProcess>(
        std::vector<std::string>{DEVHOST_PATH, "run", bench.dir.Path("host.json"), "--db", database,
                                 "--plugin-dir", PLUGIN_DIR, "--plugin-log",
                                 bench.dir.Path("plugin.log"), "--log-level", "detail"},
        log_);
  }

  Bench bench;
  std::string store_;
  bool mounted_ = false;
  std::unique_ptr<BackgroundProcess> host_;
  std::string log_;
};

TEST_F(DiskFull, FailureReportedOncePollingGoesOnAndStoringResumesWhenSpaceReturns) {
  const std::string configPath = bench.dir.Path("host.json");
  const std::string database = store_ + "/host.db";
  struct statfs fs {};
  ASSERT_EQ(statfs(store_.c_str(), &fs), 0);
  ASSERT_EQ(static_cast<long>(fs.f_type), kTmpfsMagic);
  StartHost(database);
  ASSERT_TRUE(WaitForText(log_, "cycle ", 15s)) << HostLog();
  ASSERT_TRUE(WaitUntil("10 cycles stored", 20s, [&] {
    return QueryCount(database, "SELECT COUNT(*) FROM history") >= 10;
  }));
  const auto storedBefore =
      QueryRows(database, "SELECT id, time, hex(record) FROM history ORDER BY id");

  // Fill the file system: the next cycle's commit finds no room for its log frames.
  const std::string filler = store_ + "/filler";
  ASSERT_GT(FillUp(filler), 0) << std::strerror(errno);
  ASSERT_TRUE(WaitForText(log_, "store failed, cycle not stored: ", 30s)) << HostLog();
  const std::size_t failedAt = HostLog().find("store failed, cycle not stored: ");
  const std::string failure = LineWith(HostLog(), "store failed, cycle not stored: ");
  EXPECT_NE(failure.find("error    12    "), std::string::npos) << failure;
  EXPECT_NE(failure.find("database or disk is full"), std::string::npos) << failure;
  EXPECT_NE(failure.find("(errors 1)"), std::string::npos) << failure;
  const long long rowsAtFailure = QueryCount(database, "SELECT COUNT(*) FROM history");

  // Held full for ten seconds, some two hundred cycles at 50 ms: the host polls on, the socket
  // answers (a status that did not reach the host would find the serial port taken and fail),
  // and the failure is not reported again.
  std::this_thread::sleep_for(3s);
  const auto status = bench.Host({"status", "--json", configPath});
  EXPECT_EQ(status.exitCode, 0) << status.out << status.err;
  Json::Value answer;
  ASSERT_TRUE(Json::Reader().parse(status.out, answer)) << status.out;
  EXPECT_TRUE(answer["events"][0]["answered"].asBool()) << status.out;
  EXPECT_TRUE(answer["events"][0]["document"].isObject()) << status.out;
  std::this_thread::sleep_for(7s);
  {
    const std::string log = HostLog();
    EXPECT_GT(Count(log, "cycle    12", failedAt), 20) << log.substr(failedAt);
    EXPECT_EQ(Count(log, "store failed"), 1) << log.substr(failedAt);
    EXPECT_EQ(Count(log, "store still failing"), 0) << log.substr(failedAt);
    EXPECT_EQ(Count(log, "error    12"), 1) << log.substr(failedAt);
    EXPECT_EQ(Count(log, "store works again"), 0) << log.substr(failedAt);
  }
  // Nothing was stored while full, not even a part of a cycle.
  const long long rowsWhileFull = QueryCount(database, "SELECT COUNT(*) FROM history");
  EXPECT_EQ(rowsWhileFull, rowsAtFailure);

  // Space returns: storing resumes by itself, with one notice of what was lost.
  ASSERT_EQ(unlink(filler.c_str()), 0);
  ASSERT_TRUE(WaitForText(log_, "store works again after ", 30s)) << HostLog().substr(failedAt);
  const std::string log = HostLog();
  const std::size_t recoveredAt = log.find("store works again after ");
  const std::string notice = LineWith(log, "store works again after ");
  const long long lostCycles = NumberAfter(notice, " s: ");
  const long long lostWrites = NumberAfter(notice, "cycle(s) with ");
  // Each lost cycle printed its cycle line: those between the failure and the notice, less the
  // one that was stored again, plus the first lost one, printed before its commit failed.
  EXPECT_EQ(lostCycles, Count(log.substr(0, recoveredAt), "cycle    12", failedAt)) << notice;
  // A cycle writes its history row and the device's last record at least.
  EXPECT_GE(lostWrites, 2 * lostCycles) << notice;
  ASSERT_TRUE(WaitUntil("5 cycles stored after the recovery", 20s, [&] {
    return QueryCount(database, "SELECT COUNT(*) FROM history") >= rowsWhileFull + 5;
  }));

  ASSERT_EQ(host_->Stop(5000ms), 0) << HostLog().substr(recoveredAt);
  host_.reset();
  const std::string end = HostLog();
  EXPECT_EQ(Count(end, "store works again"), 1) << end.substr(failedAt);
  EXPECT_EQ(Count(end, "store failed"), 1) << end.substr(failedAt);
  // The one reported failure is the device's one error.
  EXPECT_EQ(NumberAfter(LineWith(end, "summary  12"), "errors "), 1) << end.substr(recoveredAt);

  // The real file, as the host left it: whole, with every row stored before the fill.
  EXPECT_EQ(QueryRows(database, "PRAGMA integrity_check"),
            (std::vector<std::vector<std::string>>{{"ok"}}));
  const auto storedAfter =
      QueryRows(database, "SELECT id, time, hex(record) FROM history ORDER BY id");
  ASSERT_GE(storedAfter.size(), storedBefore.size() + 5);
  for (std::size_t i = 0; i < storedBefore.size(); ++i) {
    ASSERT_EQ(storedAfter[i], storedBefore[i]) << "row " << i;
  }
  EXPECT_EQ(QueryCount(database, "SELECT COUNT(*) FROM history WHERE length(record) != 47"), 0);
  EXPECT_EQ(QueryCount(database, "SELECT COUNT(*) FROM last_record"), 1);
}

// A 2 MiB disk that a 1.5 MB file shares with the database: smaller than the write-ahead log's
// checkpoint size, so only the host's own bound keeps the log from taking every byte freed.
class SmallDisk : public DiskFull {
 protected:
  const char* Size() const override { return "size=2m,mode=0700"; }
};

TEST_F(SmallDisk, StoringResumesOnceSpaceIsFreedAndStaysResumed) {
  const std::string database = store_ + "/host.db";
  const std::string filler = store_ + "/filler";
  ASSERT_TRUE(std::ofstream(filler) << std::string(1500 * 1000, 'x'));
  StartHost(database);
  ASSERT_TRUE(WaitForText(log_, "cycle ", 15s)) << HostLog();
  ASSERT_TRUE(WaitUntil("5 cycles stored", 20s, [&] {
    return QueryCount(database, "SELECT COUNT(*) FROM history") >= 5;
  })) << HostLog();
  ASSERT_GE(FillUp(store_ + "/rest"), 0) << std::strerror(errno);
  ASSERT_TRUE(WaitForText(log_, "store failed, cycle not stored: ", 30s)) << HostLog();

  ASSERT_EQ(unlink(filler.c_str()), 0);
  ASSERT_EQ(unlink((store_ + "/rest").c_str()), 0);
  ASSERT_TRUE(WaitForText(log_, "store works again after ", 30s)) << HostLog();
  const std::size_t recoveredAt = HostLog().find("store works again after ");
  const long long rowsAtRecovery = QueryCount(database, "SELECT COUNT(*) FROM history");
  // 400 cycles write some 12 MB of log pages, six times the disk.
  ASSERT_TRUE(WaitUntil("400 cycles stored after the recovery", 90s, [&] {
    return QueryCount(database, "SELECT COUNT(*) FROM history") >= rowsAtRecovery + 400;
  })) << HostLog().substr(recoveredAt);
  // No cycle failed after the recovery.
  EXPECT_EQ(Count(HostLog(), "store failed", recoveredAt) +
                Count(HostLog(), "store still failing", recoveredAt),
            0)
      << HostLog().substr(recoveredAt);
  ASSERT_EQ(host_->Stop(5000ms), 0) << HostLog().substr(recoveredAt);
  host_.reset();
  EXPECT_EQ(QueryRows(database, "PRAGMA integrity_check"),
            (std::vector<std::vector<std::string>>{{"ok"}}));
}

}  // namespace

TEST_F(DiskFull, AnExportThatDoesNotFitFailsAndLeavesTheOldFileWhole) {
  bench.StartSensor({"--static"});
  const auto run = bench.Host({"run", bench.Config(Mode5Settings(), 50), "--cycles", "3"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const std::string csv = store_ + "/history.csv";
  const int old = open(csv.c_str(), O_WRONLY | O_CREAT, 0600);
  ASSERT_EQ(write(old, "old\n", 4), 4);
  close(old);
  // Every block taken.
  const int filler = open((store_ + "/filler").c_str(), O_WRONLY | O_CREAT, 0600);
  const std::string block(65536, 'x');
  while (write(filler, block.data(), block.size()) > 0) {
  }
  close(filler);

  const auto exported = bench.Host({"history", "--csv", csv});
  EXPECT_EQ(exported.exitCode, 5);
  EXPECT_TRUE(Contains(exported.err, "cannot write " + csv + ": No space left on device"))
      << exported.err;
  EXPECT_FALSE(Contains(exported.out + exported.err, "exported"));
  EXPECT_EQ(ReadFile(csv), "old\n");
  // No part of the new one beside it.
  std::set<std::string> names;
  DIR* folder = opendir(store_.c_str());
  while (const dirent* entry = folder ? readdir(folder) : nullptr) names.insert(entry->d_name);
  if (folder) closedir(folder);
  EXPECT_EQ(names, (std::set<std::string>{".", "..", "filler", "history.csv"}));
}

// SPDX-License-Identifier: Apache-2.0
// The database file under a running line: removed or its folder gone, cut short in place, its
// log grown under a long reader; read-only at start.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "SensorLine.h"
#include "service/LineStore.h"
#include "support/OpenStore.h"
#include "support/ScratchDirectory.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::size_t HistoryRows(const std::string& path) {
  return OpenStore(path, false).reader.History({}).size();
}

struct RemovedDatabase : ::testing::Test {
  void PollAt(StoreOutage::Clock::duration sinceStart) {
    now = StoreOutage::Clock::time_point{} + 1h + sinceStart;
    bench.line->PollDevice(sensor);
  }
  void Remove(bool folder) {
    if (folder) {
      fs::remove_all(dir.Path("data"));
      return;
    }
    for (const char* end : {"", "-wal", "-shm"}) fs::remove(path + end);
  }

  ScratchDirectory dir;
  const std::string path = (fs::create_directory(dir.Path("data")), dir.Path("data/host.db"));
  SensorLine bench;
  HostedDevice& sensor = bench.AddSensor(21, 4);
  LineStore store{*bench.line, path};
  StoreOutage::Clock::time_point now{};
};

TEST_F(RemovedDatabase, IsReportedWithTheCyclesItTookAndANewOneIsMadeAtThePath) {
  store.Sink().SetClock([this] { return now; });
  PollAt(0s);
  PollAt(2s);
  Remove(false);
  PollAt(3s);  // not checked yet: goes with the removed file
  PollAt(6s);

  EXPECT_EQ(sensor.errors, 1u) << "a removed database is no clean run";
  const auto texts = bench.Texts();
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(texts[0], "database " + path +
                          " was removed or replaced while the host ran: up to 3 cycle(s) stored "
                          "since the check before went with it");
  EXPECT_EQ(texts[1], "database " + path + " made again, storing goes on there");
  EXPECT_EQ(HistoryRows(path), 1u);
  EXPECT_EQ(store.Sink().RunLosses().value_or(""), "3 cycle(s) not stored in this run");

  // Its folder gone (with the cycle stored there): every cycle fails until a new file can be
  // made, tried every few seconds.
  Remove(true);
  PollAt(12s);
  PollAt(14s);
  ASSERT_TRUE(fs::create_directory(dir.Path("data")));
  PollAt(18s);
  EXPECT_EQ(sensor.cycles, 7u);  // polling never stopped
  EXPECT_EQ(sensor.errors, 3u);  // the removal, then the first failed cycle
  EXPECT_EQ(HistoryRows(path), 1u);
  EXPECT_EQ(store.Sink().RunLosses().value_or(""), "6 cycle(s) not stored in this run");
}

// Cut short in place, the same inode: its header asks for more pages than the file has.
TEST_F(RemovedDatabase, CutShortInPlaceIsToldAndNothingMoreIsWrittenToIt) {
  store.Sink().SetClock([this] { return now; });
  PollAt(0s);
  PollAt(2s);
  ASSERT_EQ(truncate(path.c_str(), 2048), 0);
  PollAt(6s);
  PollAt(8s);
  EXPECT_EQ(sensor.errors, 1u);
  const std::string cut = "database " + path +
                          " was emptied or cut short while the host ran (2048 bytes, 4096 by its "
                          "header): nothing is stored in it from now on";
  EXPECT_EQ(bench.Texts(), std::vector<std::string>{"store failed, cycle not stored: " + cut +
                                                    "; stop the host, move the file and its -wal "
                                                    "file aside and start it again; up to 2 "
                                                    "cycle(s) stored since the check before went "
                                                    "with it"});
  EXPECT_EQ(store.Sink().RunLosses().value_or("").find("4 cycle(s) not stored in this run, the "
                                                       "store still failing: " +
                                                       cut),
            0u);
  EXPECT_EQ(fs::file_size(path), 2048u);
}

// A reader's snapshot keeps the write-ahead log from restarting, so it grows past its
// checkpoint size; once the reader goes, the log's file is cut back, not kept at its largest.
TEST_F(RemovedDatabase, ALogThatGrewUnderALongReaderIsCutBackOnceTheReaderGoes) {
  const auto logBytes = [this] { return fs::file_size(path + "-wal"); };
  sqlite3* reader = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &reader), SQLITE_OK);
  sqlite3_exec(reader, "BEGIN; SELECT COUNT(*) FROM history", nullptr, nullptr, nullptr);
  for (int cycle = 0; cycle < 5000 && logBytes() < 6u << 20; ++cycle)
    bench.line->PollDevice(sensor);
  ASSERT_GE(logBytes(), 6u << 20);
  sqlite3_close(reader);  // its transaction ends with it
  for (int cycle = 0; cycle < 3; ++cycle) bench.line->PollDevice(sensor);
  EXPECT_LE(logBytes(), 4u << 20);
}

// The file as a user without write access finds it: refused before SQLite leaves a -wal or
// -shm file of its own there.
TEST(ReadOnlyDatabase, IsRefusedAtStartAndLeavesNoFilesBehind) {
  ScratchDirectory dir;
  const std::string path = dir.Path("host.db");
  {
    SensorLine bench;
    bench.AddSensor(21, 4);
    LineStore made(*bench.line, path);
  }
  ASSERT_FALSE(fs::exists(path + "-wal"));
  ASSERT_EQ(chmod(path.c_str(), 0444), 0);
  const bool root = geteuid() == 0;
  if (root) {
    ASSERT_EQ(chmod(dir.Path("").c_str(), 0777), 0);
    if (seteuid(65534) != 0) GTEST_SKIP() << "cannot act as a user without write access";
  }
  std::string refused;
  try {
    SensorLine bench;
    bench.AddSensor(21, 4);
    LineStore store(*bench.line, path);
  } catch (const StoreError& error) {
    refused = error.what();
  }
  if (root) {
    ASSERT_EQ(seteuid(0), 0);
  }
  EXPECT_EQ(refused, "cannot open database " + path + ": it is read-only (no write access)");
  EXPECT_FALSE(fs::exists(path + "-wal"));
  EXPECT_FALSE(fs::exists(path + "-shm"));
}

}  // namespace

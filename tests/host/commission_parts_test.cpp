// SPDX-License-Identifier: Apache-2.0
// The backups a configuration edit of readdress or rebaud leaves, and the record of a change
// under way, without a line.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "commission/ConfigEdit.h"
#include "commission/PendingChange.h"
#include "support/ScratchDirectory.h"

namespace {

std::string ReadWhole(const std::string& path) {
  std::ostringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

// CONFIG.orig holds the file as it was before the first edit, whatever edits follow; CONFIG.bak
// the one before the last.
TEST(CommissionParts, TheFirstEditsBackupOutlivesTheLaterOnes) {
  ScratchDirectory dir;
  const std::string original =
      R"({"lines": [{"device": "/dev/ttyS1", "devices": [{"plugin": "do3008ra.so", )"
      R"("dataId": 12, "slaveAddress": 1}]}]})";
  const std::string config = dir.Write("host.json", original);
  const HostConfig loaded = ParseHostConfig(original, config, ConfigOverrides{});

  EXPECT_TRUE(UpdateConfigFile(config, AddressMember(loaded, 12, 9)).firstMade);
  const std::string readdressed = ReadWhole(config);
  const ConfigBackups second = UpdateConfigFile(config, SpeedMember(loaded, 12, 19200));
  EXPECT_FALSE(second.firstMade);
  EXPECT_EQ(second.first, config + ".orig");
  EXPECT_EQ(ReadWhole(config + ".orig"), original);
  EXPECT_NE(readdressed, original);
  EXPECT_EQ(ReadWhole(config + ".bak"), readdressed);
  // No temporary of either edit is left beside them.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path(".")),
                          std::filesystem::directory_iterator()),
            3);
}

// Fault caught: the record's speed member read back under another name, so that the next start
// "recovers" an interrupted rebaud by setting the sensor's address to the speed.
TEST(CommissionParts, AnInterruptedChangeIsReadBackAsTheChangeItWas) {
  ScratchDirectory dir;
  const std::string database = dir.Path("host.db");
  for (const bool speed : {true, false}) {
    PendingChange change;  // no process: no command is running it
    change.dataId = 12;
    change.speed = speed;
    change.to = speed ? 19200 : 9;
    RecordPendingChange(database, change);
    const ChangeRecord back = ReadChangeRecord(database, 12);
    ASSERT_EQ(back.state, ChangeRecord::State::kFound) << change.Command();
    EXPECT_EQ(back.change.Command() + " to " + back.change.Place(back.change.to),
              change.Command() + " to " + change.Place(change.to));
  }
}

// The record of a change is the only clue where a sensor went: one that is no record is kept
// aside and said, never deleted; the process it names counts as running only if it is that very
// process, never this one (a host that is PID 1 in a container has the pid at every start).
TEST(CommissionParts, AnUnreadableRecordIsKeptAsideAndAPidAloneDoesNotMeanItsCommandRuns) {
  ScratchDirectory dir;
  const std::string database = dir.Path("host.db");
  const std::string torn = R"({"dataId": 12, "member": "slaveAdd)";
  dir.Write("host.db.change-12", torn);
  const ChangeRecord unusable = ReadChangeRecord(database, 12);
  EXPECT_EQ(unusable.state, ChangeRecord::State::kUnusable);
  EXPECT_NE(unusable.problem.find("kept as " + database + ".change-12.corrupt"), std::string::npos)
      << unusable.problem;
  EXPECT_EQ(ReadWhole(database + ".change-12.corrupt"), torn);
  EXPECT_EQ(ReadChangeRecord(database, 12).state, ChangeRecord::State::kNone);

  PendingChange change;
  change.dataId = 12;
  change.to = 9;
  change.process = RecordedProcess::Self();
  RecordPendingChange(database, change);
  const ChangeRecord mine = ReadChangeRecord(database, 12);
  ASSERT_EQ(mine.state, ChangeRecord::State::kFound);
  EXPECT_EQ(mine.change.process.started, change.process.started);
  EXPECT_FALSE(mine.change.process.StillRunning());
  RecordedProcess parent{getppid(), 0, change.process.boot};
  EXPECT_TRUE(parent.StillRunning());
  parent.started = 1;  // the pid of a process that started at another moment
  EXPECT_FALSE(parent.StillRunning());
}

}  // namespace

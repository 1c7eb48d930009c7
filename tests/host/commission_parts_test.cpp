// SPDX-License-Identifier: Apache-2.0
// The backups a configuration edit of readdress or rebaud leaves, and the record of a change
// under way, without a line.
#include <gtest/gtest.h>

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
    PendingChange change;  // pid 0: no command is running it
    change.dataId = 12;
    change.speed = speed;
    change.to = speed ? 19200 : 9;
    RecordPendingChange(database, change);
    const auto back = InterruptedChange(database, 12);
    ASSERT_TRUE(back) << change.Command();
    EXPECT_EQ(back->Command() + " to " + back->Place(back->to),
              change.Command() + " to " + change.Place(change.to));
  }
}

}  // namespace

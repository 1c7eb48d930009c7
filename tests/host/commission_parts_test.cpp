// SPDX-License-Identifier: Apache-2.0
// The backups a configuration edit of readdress or rebaud leaves, without a line.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "commission/ConfigEdit.h"
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

}  // namespace

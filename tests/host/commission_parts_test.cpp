// Commissioning's pieces without a line: what a scan tells the person who writes the
// configuration, and the backups the configuration edits leave.
#include <gtest/gtest.h>
#include <json/reader.h>

#include <fstream>
#include <sstream>

#include "commission/ConfigEdit.h"
#include "commission/ScanReport.h"
#include "support/ScratchDirectory.h"

namespace {

std::string ReadWhole(const std::string& path) {
  std::ostringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

// Each sensor found comes with the members that reach it, in the table as JSON text to paste and
// in the document as values; a scan ended by --first says so and is not complete.
TEST(CommissionParts, AScanNamesTheConfigurationMembersOfEachSensorFound) {
  ScanResult result;
  result.port = "/dev/ttyUSB0";
  result.hits = {{37, 19200, 'N', 37, 3}, {5, 9600, 'E', 5, 2}};
  result.probes = 40;
  result.total = 1976;
  result.stoppedAtHit = true;

  const std::string table = ScanTable(result);
  EXPECT_NE(table.find("40 of 1976 addresses asked in 0 s, stopped at the first sensor found"),
            std::string::npos)
      << table;
  EXPECT_NE(table.find("\n  \"device\": \"/dev/ttyUSB0\", \"baudRate\": 19200, "
                       "\"slaveAddress\": 37\n"),
            std::string::npos)
      << table;
  const std::string even = HostMembersText(result.port, result.hits[1]);
  EXPECT_EQ(even,
            R"("device": "/dev/ttyUSB0", "baudRate": 9600, "slaveAddress": 5, "parity": "even")");
  Json::Value pasted;
  ASSERT_TRUE(Json::Reader().parse("{" + even + "}", pasted)) << even;
  EXPECT_EQ(pasted, HostMembers(result.port, result.hits[1]));

  const Json::Value document = ScanDocument(result, 0);
  EXPECT_FALSE(document["complete"].asBool());
  EXPECT_TRUE(document["stopped_at_first"].asBool());
  const Json::Value& members = document["found"][0]["host_config"];
  EXPECT_EQ(members["device"].asString(), "/dev/ttyUSB0");
  EXPECT_EQ(members["baudRate"].asInt(), 19200);
  EXPECT_EQ(members["slaveAddress"].asInt(), 37);
  EXPECT_FALSE(members.isMember("parity"));
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

  const ConfigBackups first = UpdateConfigFile(config, AddressMember(loaded, 12, 9));
  EXPECT_TRUE(first.firstMade);
  EXPECT_EQ(first.first, config + ".orig");
  EXPECT_EQ(first.Text(), "the old file is " + config +
                              ".bak; as it was before the first change it is also " + config +
                              ".orig");
  const std::string readdressed = ReadWhole(config);
  EXPECT_NE(readdressed.find(R"("slaveAddress": 9)"), std::string::npos) << readdressed;

  const ConfigBackups second = UpdateConfigFile(config, SpeedMember(loaded, 12, 19200));
  EXPECT_FALSE(second.firstMade);
  EXPECT_EQ(second.Text(), "the old file is " + config + ".bak");
  EXPECT_EQ(ReadWhole(config + ".orig"), original);
  EXPECT_EQ(ReadWhole(config + ".bak"), readdressed);
  EXPECT_NE(ReadWhole(config).find(R"("baudRate": 19200)"), std::string::npos);
  // No temporary of either edit is left beside it.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path(".")),
                          std::filesystem::directory_iterator()),
            3);
}

}  // namespace

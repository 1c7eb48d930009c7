// SPDX-License-Identifier: Apache-2.0
// The plug-ins' diagnostic file: bounded, rotated at a line's end, never failing the stream.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <ostream>
#include <sstream>

#include "cli/PluginLog.h"
#include "support/ScratchDirectory.h"

namespace {

std::string Contents(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(PluginLog, PastItsLimitTheFileBecomesTheOldOneAndOnlyTwoAreKept) {
  ScratchDirectory dir;
  const std::string path = dir.Path("host.db.plugin.log");
  {
    PluginLog log(path, 100);
    std::ostream out(&log);
    for (int line = 0; line < 30; ++line) out << "rvSize is " << line << "\n";
    out.flush();
  }
  const std::string current = Contents(path);
  const std::string old = Contents(path + ".1");
  EXPECT_LT(current.size() + old.size(), 220u);      // two files under the limit and a line each
  EXPECT_EQ(old.rfind("rvSize is ", 0), 0u) << old;  // whole lines only
  EXPECT_NE(current.find("rvSize is 29\n"), std::string::npos) << current;
  EXPECT_FALSE(std::filesystem::exists(path + ".2"));
}

TEST(PluginLog, AFileThatCannotBeOpenedDropsTheLinesAndTheStreamGoesOn) {
  ScratchDirectory dir;
  PluginLog log(dir.Path("no/such/folder/log"));
  EXPECT_FALSE(log.Open());
  std::ostream out(&log);
  out << "InitSetting 12 b_mode_:5" << std::endl;
  EXPECT_TRUE(out.good());
}

}  // namespace

// SPDX-License-Identifier: Apache-2.0
// The INI rule file: its two sections, the first-comma split and the parser's failures.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include <boost/property_tree/ini_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include "support/CapturedOutput.h"
#include "support/DeviceProbe.h"
#include "support/ScratchDirectory.h"

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Pair;
using AiEntry = std::pair<std::string, std::string>;

class RuleFile : public ::testing::Test {
 protected:
  // Loads `text` as a rule file and returns what the load printed.
  std::string Load(const std::string& text) {
    const std::string path = scratch.Write("rules-" + std::to_string(++files) + ".ini", text);
    return CapturedOutput([&] { device.LoadRuleFile(path); });
  }
  bool TablesEmpty() const {
    return device.aiSignalMap_.empty() && device.alarmSignalIdMap_.empty();
  }

  ScratchDirectory scratch;
  DeviceProbe device;
  int files = 0;
};

TEST_F(RuleFile, ExampleFileFillsBothTablesAndLogsAlarmKeys) {
  const std::string output = Load(
      "; sensor 12\n[AI]\n温度 = sig-01-tmp,Temperature\n湿度 = sig-02-hum,Humidity\n"
      "[ALARM]\n温度 = alm-01-tmp,high\n");
  EXPECT_THAT(device.aiSignalMap_, ElementsAre(Pair("温度", AiEntry("sig-01-tmp", "Temperature")),
                                               Pair("湿度", AiEntry("sig-02-hum", "Humidity"))));
  EXPECT_THAT(device.alarmSignalIdMap_, ElementsAre(Pair("温度", "alm-01-tmp")));
  EXPECT_EQ(output, "alarmSignalIdMap_ 温度 : alm-01-tmp\n");
}

TEST_F(RuleFile, OnlyTheFirstCommaSplits) {
  const std::string output = Load("[AI]\nA = a,b,c\nB = ,x\nC = abc\n[ALARM]\nk = x,y\nm = z\n");
  EXPECT_THAT(device.aiSignalMap_,
              ElementsAre(Pair("A", AiEntry("a", "b,c")), Pair("B", AiEntry("", "x")),
                          Pair("C", AiEntry("abc", "abc"))));
  EXPECT_THAT(device.alarmSignalIdMap_, ElementsAre(Pair("k", "x"), Pair("m", "z")));
  // Alarm lines come in file order.
  EXPECT_EQ(output, "alarmSignalIdMap_ k : x\nalarmSignalIdMap_ m : z\n");
}

TEST_F(RuleFile, SyntaxIsTrimmedCommentedAndIgnoresOtherSections) {
  Load(
      "top = ignored\n# comment\n  [ AI ] trailing\n  k1 =  v=1 ,  two  \n\n[OTHER]\nq = 1\n"
      "[ALARM]\na = b\n");
  EXPECT_THAT(device.aiSignalMap_, ElementsAre(Pair("k1", AiEntry("v=1 ", "  two"))));
  EXPECT_THAT(device.alarmSignalIdMap_, ElementsAre(Pair("a", "b")));
}

TEST_F(RuleFile, SecondLoadAddsAndOverwritesButNeverRemoves) {
  Load("[AI]\nA = a1,n1\nB = b1,n1\n[ALARM]\nx = 1\n");
  Load("[AI]\nB = b2,n2\nC = c2,n2\n[ALARM]\ny = 2\n");
  EXPECT_THAT(device.aiSignalMap_,
              ElementsAre(Pair("A", AiEntry("a1", "n1")), Pair("B", AiEntry("b2", "n2")),
                          Pair("C", AiEntry("c2", "n2"))));
  EXPECT_THAT(device.alarmSignalIdMap_, ElementsAre(Pair("x", "1"), Pair("y", "2")));
}

TEST_F(RuleFile, MissingSectionsRaiseNoSuchNode) {
  // An "AI" header without keys is dropped like an absent section; nothing is stored.
  for (const char* text : {"[AI]\n[ALARM]\nx = 1\n", "", "[ALARM]\nx = 1\n"}) {
    try {
      Load(text);
      ADD_FAILURE() << "no error for: " << text;
    } catch (const boost::property_tree::ptree_bad_path& error) {
      EXPECT_STREQ(error.what(), "No such node (AI)");
    }
    EXPECT_TRUE(TablesEmpty());
  }
  // Without "ALARM" the "AI" entries are already stored and stay.
  try {
    Load("[AI]\nA = a,b\n[ALARM]\n");
    ADD_FAILURE() << "no error without ALARM keys";
  } catch (const boost::property_tree::ptree_bad_path& error) {
    EXPECT_STREQ(error.what(), "No such node (ALARM)");
  }
  EXPECT_THAT(device.aiSignalMap_, ElementsAre(Pair("A", AiEntry("a", "b"))));
  EXPECT_TRUE(device.alarmSignalIdMap_.empty());
}

TEST_F(RuleFile, SyntaxErrorsRaiseTheParserErrorAndChangeNothing) {
  const std::pair<const char*, const char*> cases[] = {
      {"[AI\nA = a\n", "unmatched '['"},
      {"[AI]\nA = a\n[AI]\nB = b\n", "duplicate section name"},
      {"[AI]\nA a\n", "'=' character not found in line"},
      {"[AI]\n= a\n", "key expected"},
      {"[AI]\nA = a\nA = b\n", "duplicate key name"},
  };
  for (const auto& [text, message] : cases) {
    try {
      Load(std::string(text) + "[ALARM]\nx = 1\n");
      ADD_FAILURE() << "no error for: " << text;
    } catch (const boost::property_tree::ini_parser_error& error) {
      EXPECT_EQ(error.message(), message);
      EXPECT_GT(error.line(), 0u);
    }
    EXPECT_TRUE(TablesEmpty()) << text;
  }
}

TEST_F(RuleFile, UnreadablePathsRaiseTheParserError) {
  for (const std::string& path : {scratch.Path("absent.ini"), scratch.MakeDirectory("dir.ini")}) {
    EXPECT_THROW(device.LoadRuleFile(path), boost::property_tree::ini_parser_error) << path;
  }
  EXPECT_TRUE(TablesEmpty());
}

TEST_F(RuleFile, BinaryAndHugeFilesNeverCrash) {
  std::string binary;
  for (int i = 0; i < 4096; ++i) binary += static_cast<char>((i * 131 + 7) % 256);
  EXPECT_ANY_THROW(Load(binary));
  EXPECT_TRUE(TablesEmpty());
  // A NUL byte is just another character of the value.
  EXPECT_THROW(Load(std::string("[AI]\nA = a\0b,c\n", 15)), boost::property_tree::ptree_bad_path);
  EXPECT_THAT(device.aiSignalMap_, ElementsAre(Pair("A", AiEntry(std::string("a\0b", 3), "c"))));

  std::string huge = "[AI]\n";
  for (int i = 0; i < 50000; ++i)
    huge += "key" + std::to_string(i) + " = sig-" + std::to_string(i) + ",n\n";
  huge += "[ALARM]\nx = " + std::string(100000, 'v') + "\n";
  Load(huge);
  EXPECT_EQ(device.aiSignalMap_.size(), 50001u);
  EXPECT_EQ(device.alarmSignalIdMap_.at("x").size(), 100000u);
}

}  // namespace

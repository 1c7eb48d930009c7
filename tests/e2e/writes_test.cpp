// SPDX-License-Identifier: Apache-2.0
// Register writes through the device's command entry, and the outcome the sensor's echo gives.
#include <gtest/gtest.h>

#include <fstream>

#include "Bench.h"
#include "Text.h"

namespace {

class Writes : public ::testing::Test {
 protected:
  ProcessResult Write(const std::vector<std::string>& words) {
    std::vector<std::string> args{"write", bench.Config(Mode5Settings())};
    args.insert(args.end(), words.begin(), words.end());
    return bench.Host(args);
  }
  Bytes LatestRecord() const {
    const auto records = bench.HistoryRecords();
    return records.empty() ? Bytes() : records.back();
  }

  Bench bench;
};

TEST_F(Writes, SingleCalibrationWriteIsConfirmedAndTheNextCycleCarriesIt) {
  bench.StartSensor({"--static"});
  const auto write = Write({"12", "80", "15"});
  EXPECT_EQ(write.exitCode, 0) << write.out << write.err;
  EXPECT_NE(write.out.find("write    12    register 80 = 15: confirmed"), std::string::npos)
      << write.out;
  const Bytes record = LatestRecord();
  ASSERT_EQ(record.size(), 47u);
  EXPECT_EQ(RecordWord(record, 20), 15u);  // holding copy of register 80
  EXPECT_EQ(RecordWord(record, 26), 15u);  // input copy of register 80
  // The status document of that cycle shows it scaled.
  EXPECT_NE(write.out.find("\"温度校准值\":1.5"), std::string::npos) << write.out;
  EXPECT_NE(bench.SensorLog().find("write 80 = 15"), std::string::npos);
}

TEST_F(Writes, SeveralRegistersAreConfirmedByFunctionAndCount) {
  bench.StartSensor({"--static"});
  const auto write = Write({"12", "80", "11", "12", "13"});
  EXPECT_EQ(write.exitCode, 0) << write.out << write.err;
  EXPECT_NE(write.out.find("registers 80-82 = 11, 12, 13: confirmed"), std::string::npos)
      << write.out;
  const Bytes record = LatestRecord();
  ASSERT_EQ(record.size(), 47u);
  EXPECT_EQ(RecordWord(record, 20), 11u);
  EXPECT_EQ(RecordWord(record, 22), 12u);
  EXPECT_EQ(RecordWord(record, 24), 13u);
}

TEST_F(Writes, AWrongEchoIsNotConfirmedForEitherKindOfWrite) {
  bench.StartSensor({"--static", "--wrong-echo"});
  const auto single = Write({"12", "81", "7"});
  EXPECT_EQ(single.exitCode, 1);
  EXPECT_NE(single.out.find("register 81 = 7: not confirmed (echo 8 for 7)"), std::string::npos)
      << single.out;
  const auto several = Write({"12", "80", "1", "2"});
  EXPECT_EQ(several.exitCode, 1);
  EXPECT_NE(several.out.find("registers 80-81 = 1, 2: not confirmed (echo 3 for 2)"),
            std::string::npos)
      << several.out;
  // The sensor did take the values; only its answer was wrong.
  EXPECT_EQ(RecordWord(LatestRecord(), 22), 2u);
}

TEST_F(Writes, ASensorThatDoesNotAnswerGivesNoAnswer) {
  bench.StartSensor({"--static", "--drop", "100"});
  const auto write = Write({"12", "80", "15"});
  EXPECT_EQ(write.exitCode, 6);
  EXPECT_NE(write.out.find("register 80 = 15: no answer"), std::string::npos) << write.out;
  EXPECT_NE(write.out.find("write register 80: Connection timed out"), std::string::npos)
      << write.out;
}

TEST_F(Writes, ARefusedWriteSaysWhyWithItsOwnExitStatusAndChangesNothing) {
  bench.StartSensor({"--static"});
  // Register 1 is a measured value: the sensor answers with an exception.
  const auto write = Write({"12", "1", "99"});
  EXPECT_EQ(write.exitCode, 7);
  EXPECT_NE(write.out.find("register 1 = 99: refused by the sensor: Modbus exception 2 (illegal "
                           "data address)"),
            std::string::npos)
      << write.out;
  EXPECT_EQ(RecordWord(LatestRecord(), 14), 220u);
}

// A plain write to the bus registers would skip readdress's and rebaud's checks: refused.
TEST_F(Writes, AWriteReachingTheAddressOrSpeedRegisterIsRefusedWithTheCommandToUse) {
  bench.StartSensor({"--static"});
  for (const auto& [words, command] :
       {std::pair<std::vector<std::string>, std::string>{{"12", "2000", "5"}, "readdress"},
        {{"12", "1999", "0", "3"}, "readdress"},
        {{"12", "2001", "3"}, "rebaud"}}) {
    const auto write = Write(words);
    EXPECT_EQ(write.exitCode, 2) << write.out << write.err;
    EXPECT_TRUE(Contains(write.out + write.err, "change it with devhost " + command))
        << write.out << write.err;
  }
  EXPECT_FALSE(Contains(bench.SensorLog(), "is now")) << bench.SensorLog();
}

TEST_F(Writes, AWriteToADataIdThatIsNotConfiguredIsRefusedBeforeAnythingRuns) {
  bench.StartSensor({"--static"});
  const auto write = Write({"99", "80", "15"});
  EXPECT_EQ(write.exitCode, 2);
  EXPECT_NE(write.err.find("has no device with data id 99"), std::string::npos) << write.err;
  EXPECT_FALSE(std::ifstream(bench.Database()).good());
}

// A line polled once a minute: the answer does not wait for the next round, yet its status
// document is of a cycle after the write.
TEST_F(Writes, ARarelyPolledLineStillShowsTheWriteInTheAnswer) {
  bench.StartSensor({"--static"});
  const auto write = bench.Host({"write", bench.Config(Mode5Settings(), 60000), "12", "80", "15"});
  EXPECT_EQ(write.exitCode, 0) << write.out << write.err;
  EXPECT_NE(write.out.find("\"温度校准值\":1.5"), std::string::npos) << write.out;
}

}  // namespace

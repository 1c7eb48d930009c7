// SPDX-License-Identifier: Apache-2.0
// A sensor that misbehaves never stops the host, and never gets a broken record stored.
#include <gtest/gtest.h>

#include <string>

#include "Bench.h"

namespace {

using namespace std::chrono_literals;

// --static with these values serves, in record order from byte 4: the measured block
// (humidity, temperature, 0, pressure) twice, calibration zeros twice, address 1 and code 2 twice.
const std::vector<std::string> kStaticSensor = {"--static", "--temperature", "23.4",  "--humidity",
                                                "55.5",     "--pressure",    "1001.1"};
const std::vector<unsigned> kStaticWords = {555, 234, 0, 10011, 555, 234, 0, 10011, 0,
                                            0,   0,   0, 0,     0,   1,   2, 1,     2};

void ExpectWholeAndCorrect(const std::vector<Bytes>& records) {
  for (const Bytes& record : records) {
    ASSERT_EQ(record.size(), 47u);
    EXPECT_EQ(RecordWord(record, 0), Bench::kDataId);
    for (std::size_t i = 0; i < kStaticWords.size(); ++i) {
      ASSERT_EQ(RecordWord(record, 4 + 2 * i), kStaticWords[i]) << "record offset " << 4 + 2 * i;
    }
  }
}

// A count ("cycles" or "errors") of the device's "summary" line in the host's output.
long SummaryCount(const std::string& out, const std::string& what) {
  const auto line = out.find("summary  12 ");
  if (line == std::string::npos) return -1;
  const auto label = out.find(what + " ", line);
  if (label == std::string::npos) return -1;
  return std::stol(out.substr(label + what.size() + 1));
}

std::vector<std::string> With(std::vector<std::string> options,
                              const std::vector<std::string>& more) {
  options.insert(options.end(), more.begin(), more.end());
  return options;
}

TEST(Faults, ThirtyPercentDroppedOrCorruptedAnswersLeaveOnlyWholeCorrectRecords) {
  Bench bench;
  bench.StartSensor(With(kStaticSensor, {"--drop", "15", "--corrupt", "15", "--seed", "11"}));
  const auto run =
      bench.Host({"run", "--cycles", "45", bench.Config(Mode5Settings(), 50, 100)}, 60s);
  ASSERT_EQ(run.exitCode, 0) << run.err;
  ASSERT_FALSE(run.timedOut);

  const auto records = bench.HistoryRecords();
  EXPECT_GE(records.size(), 1u) << run.out;
  ExpectWholeAndCorrect(records);
  EXPECT_EQ(SummaryCount(run.out, "cycles"), static_cast<long>(records.size())) << run.out;
  EXPECT_GT(SummaryCount(run.out, "errors"), 0) << run.out;
  EXPECT_NE(run.out.find("Invalid CRC"), std::string::npos);
  EXPECT_NE(run.out.find("Connection timed out"), std::string::npos);
}

TEST(Faults, ExceptionsAndLateAnswersAreCountedAndPollingGoesOn) {
  Bench bench;
  bench.StartSensor(With(kStaticSensor,
                         {"--exception", "10", "--late", "10", "--late-ms", "300", "--seed", "5"}));
  const auto run =
      bench.Host({"run", "--cycles", "40", bench.Config(Mode5Settings(), 50, 100)}, 60s);
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const auto records = bench.HistoryRecords();
  EXPECT_GE(records.size(), 1u) << run.out;
  ExpectWholeAndCorrect(records);
  EXPECT_NE(run.out.find("Slave device or server failure"), std::string::npos) << run.out;
  EXPECT_GT(SummaryCount(run.out, "errors"), 0);
}

TEST(Faults, ASensorThatNeverAnswersFunction04CompletesNoCycleAndStoresNothing) {
  Bench bench;
  bench.StartSensor(With(kStaticSensor, {"--no-input"}));
  const auto run = bench.Host({"run", "--cycles", "3", bench.Config(Mode5Settings(), 50, 100)});
  // A bounded run in which a device completed no cycle at all did not do its job.
  ASSERT_EQ(run.exitCode, 6) << run.err;
  EXPECT_EQ(QueryCount(bench.Database(), "SELECT COUNT(*) FROM history"), 0);
  EXPECT_EQ(QueryCount(bench.Database(), "SELECT COUNT(*) FROM last_record"), 0);
  EXPECT_EQ(SummaryCount(run.out, "cycles"), 0);
  // Each round ends at the first input read: one error a round.
  EXPECT_EQ(SummaryCount(run.out, "errors"), 3) << run.out;
  EXPECT_NE(run.out.find("read input registers 0/4: Connection timed out"), std::string::npos);
}

TEST(Faults, ASensorAtAnotherLineSpeedIsNeverHeard) {
  Bench bench;
  bench.StartSensor(With(kStaticSensor, {"--baud-code", "3"}));  // 19200; the host runs at 9600
  const auto run = bench.Host({"run", "--cycles", "2", bench.Config(Mode5Settings(), 50, 100)});
  ASSERT_EQ(run.exitCode, 6) << run.err;
  EXPECT_EQ(SummaryCount(run.out, "cycles"), 0);
  EXPECT_EQ(SummaryCount(run.out, "errors"), 2);
}

}  // namespace

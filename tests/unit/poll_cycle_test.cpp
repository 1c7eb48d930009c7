// SPDX-License-Identifier: Apache-2.0
// The six-read poll cycle, where each answer lands in the record, and the write acknowledgements
// that arrive through the same answer path.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "support/DeviceProbe.h"

namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

// Counts the end-of-cycle calls instead of running the full completion.
class CycleProbe : public DeviceProbe {
 public:
  void RoundDone() override {
    ++roundsDone;
    stepAtRoundDone = step_;
  }
  int roundsDone = 0;
  int stepAtRoundDone = -1;
};

struct AttachedCycle {
  AttachedCycle() { device.Init(controller, 12, Json::Value(Json::objectValue)); }
  std::shared_ptr<RecordingController> controller = std::make_shared<RecordingController>();
  CycleProbe device;
};

uint16_t WordAt(const std::vector<unsigned char>& record, std::size_t offset) {
  return static_cast<uint16_t>(record[offset] | (record[offset + 1] << 8));
}

std::vector<uint16_t> WordsAt(const std::vector<unsigned char>& record, std::size_t offset,
                              std::size_t count) {
  std::vector<uint16_t> words;
  for (std::size_t i = 0; i < count; ++i) words.push_back(WordAt(record, offset + 2 * i));
  return words;
}

void FillRegBuf(DeviceProbe& device, uint16_t base) {
  for (std::size_t i = 0; i < device.regBuf_.size(); ++i) {
    device.regBuf_[i] = static_cast<uint16_t>(base + i);
  }
}

const std::vector<std::string> kSixReads = {"Request(fc3 0/4)",    "Request(fc4 0/4)",
                                            "Request(fc3 80/3)",   "Request(fc4 80/3)",
                                            "Request(fc3 2000/2)", "Request(fc4 2000/2)"};

// ---- a full cycle ----------------------------------------------------------------------------

TEST(PollCycle, FullCycleReadsSixBlocksInOrderAndFillsBothCopies) {
  AttachedCycle attached;
  auto& bus = *attached.controller;
  for (uint16_t r = 0; r < 4; ++r) {
    bus.SetHolding(r, static_cast<uint16_t>(0x1000 + r));
    bus.SetInput(r, static_cast<uint16_t>(0x2000 + r));
  }
  for (uint16_t r = 0; r < 3; ++r) {
    bus.SetHolding(static_cast<uint16_t>(80 + r), static_cast<uint16_t>(0x3000 + r));
    bus.SetInput(static_cast<uint16_t>(80 + r), static_cast<uint16_t>(0x4000 + r));
  }
  bus.SetHolding(2000, 0x5000);
  bus.SetHolding(2001, 0x5001);
  bus.SetInput(2000, 0xF000);  // top bit set: stored unsigned
  bus.SetInput(2001, 0xFFFF);
  bus.SetHolding(4, 0xDEAD);  // neighbours of the blocks must not be read
  bus.SetInput(83, 0xBEEF);

  EXPECT_EQ(attached.device.RefreshStatus(), 1);
  EXPECT_EQ(attached.device.step_, DO3008RA::kFirstPollStep);
  EXPECT_EQ(bus.RunAll(), 6u);

  EXPECT_EQ(bus.CallTexts(), kSixReads);
  EXPECT_EQ(attached.device.roundsDone, 1);
  EXPECT_EQ(attached.device.stepAtRoundDone, DO3008RA::kLastPollStep);
  EXPECT_EQ(attached.device.step_, DO3008RA::kLastPollStep);

  const auto record = attached.device.Record();
  EXPECT_THAT(WordsAt(record, 4, 4), ElementsAre(0x1000, 0x1001, 0x1002, 0x1003));
  EXPECT_THAT(WordsAt(record, 12, 4), ElementsAre(0x2000, 0x2001, 0x2002, 0x2003));
  EXPECT_THAT(WordsAt(record, 20, 3), ElementsAre(0x3000, 0x3001, 0x3002));
  EXPECT_THAT(WordsAt(record, 26, 3), ElementsAre(0x4000, 0x4001, 0x4002));
  EXPECT_THAT(WordsAt(record, 32, 2), ElementsAre(0x5000, 0x5001));
  EXPECT_THAT(WordsAt(record, 36, 2), ElementsAre(0xF000, 0xFFFF));
  // The data id and the time stamp are not the poll cycle's to write.
  EXPECT_THAT(std::vector<unsigned char>(record.begin() + 40, record.end()),
              ElementsAreArray(std::vector<unsigned char>(7, 0)));
}

TEST(PollCycle, EachStepStoresOnlyItsBlockMovesOnAndAsksForTheNextRead) {
  struct Expected {
    int step;
    std::size_t offset;
    std::size_t count;
    const char* nextRequest;  // nullptr: the cycle ends
  };
  const Expected steps[] = {{11, 4, 4, "Request(fc4 0/4)"},     {12, 12, 4, "Request(fc3 80/3)"},
                            {13, 20, 3, "Request(fc4 80/3)"},   {14, 26, 3, "Request(fc3 2000/2)"},
                            {15, 32, 2, "Request(fc4 2000/2)"}, {16, 36, 2, nullptr}};
  for (const auto& expected : steps) {
    SCOPED_TRACE(expected.step);
    AttachedCycle attached;
    auto& device = attached.device;
    device.step_ = expected.step;
    FillRegBuf(device, 0x0A00);  // a long answer: only the step's registers may be taken
    const int result = device.process_payload(SPModbus::COIL_STATUS, 125);

    const auto record = device.Record();
    for (std::size_t offset = 0; offset < record.size(); ++offset) {
      const bool inBlock =
          offset >= expected.offset && offset < expected.offset + 2 * expected.count;
      if (!inBlock) {
        EXPECT_EQ(record[offset], 0) << "offset " << offset;
      }
    }
    std::vector<uint16_t> sent;
    for (std::size_t i = 0; i < expected.count; ++i)
      sent.push_back(static_cast<uint16_t>(0x0A00 + i));
    EXPECT_EQ(WordsAt(record, expected.offset, expected.count), sent);

    if (expected.nextRequest != nullptr) {
      EXPECT_EQ(result, 1);
      EXPECT_EQ(device.step_, expected.step + 1);
      EXPECT_THAT(attached.controller->CallTexts(), ElementsAre(expected.nextRequest));
      EXPECT_EQ(device.roundsDone, 0);
    } else {
      EXPECT_EQ(result, 0);
      EXPECT_EQ(device.step_, 16);
      EXPECT_THAT(attached.controller->CallTexts(), IsEmpty());
      EXPECT_EQ(device.roundsDone, 1);
    }
  }
}

TEST(PollCycle, TableAndCountArgumentsNeverChangeTheOutcome) {
  const SPModbus::tab_type tables[] = {SPModbus::COIL_STATUS, SPModbus::INPUT_STATUS,
                                       SPModbus::HOLDING_REGISTER, SPModbus::INPUT_REGISTER};
  const unsigned counts[] = {0u, 1u, 4u, 0xFFFFFFFFu};
  for (auto table : tables) {
    for (auto count : counts) {
      AttachedCycle attached;
      attached.device.step_ = 12;
      FillRegBuf(attached.device, 7);
      EXPECT_EQ(attached.device.process_payload(table, count), 1);
      EXPECT_EQ(attached.device.step_, 13);
      EXPECT_THAT(WordsAt(attached.device.Record(), 12, 4), ElementsAre(7, 8, 9, 10));
    }
  }
}

TEST(PollCycle, AnotherAnswerAtTheLastStepStoresAgainAndCompletesAgain) {
  AttachedCycle attached;
  attached.device.RefreshStatus();
  attached.controller->RunAll();
  ASSERT_EQ(attached.device.roundsDone, 1);
  attached.device.regBuf_[0] = 0x0102;
  attached.device.regBuf_[1] = 0x0304;
  EXPECT_EQ(attached.device.process_payload(SPModbus::INPUT_REGISTER, 2), 0);
  EXPECT_EQ(attached.device.roundsDone, 2);
  EXPECT_THAT(WordsAt(attached.device.Record(), 36, 2), ElementsAre(0x0102, 0x0304));
}

// ---- restarts ----------------------------------------------------------------------------------

TEST(PollCycle, RefreshMidCycleStartsOverAndKeepsTheBlocksAlreadyStored) {
  AttachedCycle attached;
  auto& bus = *attached.controller;
  bus.SetHolding(0, 11);
  bus.SetInput(0, 22);
  attached.device.RefreshStatus();
  bus.RunNext();
  bus.RunNext();  // holding and input measure blocks stored, step 13 pending
  ASSERT_EQ(attached.device.step_, 13);
  bus.ClearCalls();
  ::testing::internal::CaptureStdout();
  while (bus.PendingRequests() > 0) bus.FailNext();  // the bus drops what was asked
  ::testing::internal::GetCapturedStdout();

  bus.SetHolding(0, 33);
  EXPECT_EQ(attached.device.RefreshStatus(), 1);
  EXPECT_EQ(attached.device.step_, 11);
  EXPECT_THAT(bus.CallTexts(), ElementsAre("Request(fc3 0/4)"));
  EXPECT_EQ(WordAt(attached.device.Record(), 12), 22) << "the input copy stays until read again";
  bus.RunNext();
  EXPECT_EQ(WordAt(attached.device.Record(), 4), 33);
  EXPECT_EQ(attached.device.roundsDone, 0);
}

TEST(PollCycle, RefreshDuringAPendingWriteDropsItsAcknowledgement) {
  for (int writeStep : {206, 210}) {
    SCOPED_TRACE(writeStep);
    AttachedCycle attached;
    attached.device.step_ = writeStep;
    attached.device.writeResult_ = DO3008RA::kWritePending;
    attached.device.writeExpect_ = 16;
    attached.device.RefreshStatus();
    EXPECT_EQ(attached.device.step_, 11);
    // The echo a write would carry now lands as the first poll block.
    attached.device.regBuf_[0] = 16;
    attached.device.regBuf_[1] = 16;
    EXPECT_EQ(attached.device.process_payload(SPModbus::HOLDING_REGISTER, 2), 1);
    EXPECT_EQ(attached.device.writeResult_, DO3008RA::kWritePending);
    EXPECT_EQ(WordAt(attached.device.Record(), 4), 16);
    EXPECT_EQ(attached.device.step_, 12);
  }
}

TEST(PollCycle, FailedExchangeEndsTheCycleAndChangesNothing) {
  AttachedCycle attached;
  attached.device.RefreshStatus();
  attached.controller->RunNext();
  const auto before = attached.device.Record();
  ::testing::internal::CaptureStdout();
  attached.controller->FailNext();
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "SPModbus get error\n");
  EXPECT_EQ(attached.device.step_, 12);
  EXPECT_EQ(attached.device.Record(), before);
  EXPECT_EQ(attached.controller->PendingRequests(), 0u);
  EXPECT_EQ(attached.device.roundsDone, 0);
}

TEST(PollCycle, UnlistedStepsTakeNothingAndAskNothing) {
  for (int step : {0, 1, 10, 17, 205, 207, 209, 211, 310, 320, 801, -1, 0x7FFFFFFF}) {
    SCOPED_TRACE(step);
    AttachedCycle attached;
    auto& device = attached.device;
    device.step_ = step;
    device.writeResult_ = 1;
    device.writeExpect_ = 5;
    device.processing_ = true;
    FillRegBuf(device, 5);
    EXPECT_EQ(device.process_payload(SPModbus::HOLDING_REGISTER, 4), 1);
    EXPECT_EQ(device.step_, step);
    EXPECT_EQ(device.writeResult_, 1);
    EXPECT_TRUE(device.processing_) << "no Reset";
    EXPECT_THAT(device.Record(), ::testing::Each(0));
    EXPECT_THAT(attached.controller->CallTexts(), IsEmpty());
    EXPECT_EQ(device.roundsDone, 0);
  }
}

// ---- write acknowledgements -------------------------------------------------------------------

struct AckCase {
  int step;
  int32_t expect;
  uint16_t word0;
  uint16_t word1;
  int32_t result;
};

TEST(PollCycle, WriteAcknowledgementsConfirmOnlyAnExactEcho) {
  const AckCase cases[] = {
      {206, 3, 3, 0, 1},         {206, 3, 4, 3, 3},          {206, 0, 0, 9, 1},
      {206, 65535, 65535, 0, 1}, {206, 2000, 1999, 2000, 3}, {210, 3, 16, 3, 1},
      {210, 3, 15, 3, 3},        {210, 3, 16, 4, 3},         {210, 3, 3, 16, 3},
      {210, 123, 16, 123, 1},    {210, 3, 0, 0, 3}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << c.step << " expect " << c.expect << " echo " << c.word0 << "," << c.word1);
    AttachedCycle attached;
    auto& device = attached.device;
    device.step_ = c.step;
    device.writeResult_ = DO3008RA::kWritePending;
    device.writeExpect_ = c.expect;
    device.processing_ = true;
    device.regBuf_[0] = c.word0;
    device.regBuf_[1] = c.word1;
    EXPECT_EQ(device.process_payload(SPModbus::HOLDING_REGISTER, 2), 0);
    EXPECT_EQ(device.writeResult_, c.result);
    EXPECT_FALSE(device.processing_) << "the exchange is reset";
    EXPECT_EQ(device.step_, c.step);
    EXPECT_THAT(device.Record(), ::testing::Each(0));
    EXPECT_THAT(attached.controller->CallTexts(), IsEmpty());
  }
}

TEST(PollCycle, WriteRoundTripOverTheBusReportsTheSensorsEcho) {
  const uint16_t single[] = {2000, 3};
  const uint16_t several[] = {80, 1, 2, 3};
  for (bool wrongEcho : {false, true}) {
    SCOPED_TRACE(wrongEcho);
    AttachedCycle attached;
    attached.controller->SetWrongWriteEcho(wrongEcho, 7);
    ::testing::internal::CaptureStdout();
    int outlenRet = 0;
    attached.device.DeviceIoControl(206, single, sizeof single, nullptr, 0, outlenRet);
    attached.controller->RunNext();
    EXPECT_EQ(attached.device.writeResult_, wrongEcho ? 3 : 1);
    attached.device.DeviceIoControl(210, several, sizeof several, nullptr, 0, outlenRet);
    EXPECT_EQ(attached.device.writeResult_, DO3008RA::kWritePending);
    attached.controller->RunNext();
    EXPECT_EQ(attached.device.writeResult_, wrongEcho ? 3 : 1);
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(attached.controller->Holding(2000), 3);
    EXPECT_EQ(attached.controller->Holding(82), 3);
  }
}

TEST(PollCycle, UnansweredWriteStaysPending) {
  AttachedCycle attached;
  const uint16_t words[] = {2001, 2};
  int outlenRet = 0;
  ::testing::internal::CaptureStdout();
  attached.device.DeviceIoControl(206, words, sizeof words, nullptr, 0, outlenRet);
  attached.controller->FailNext();
  ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(attached.device.writeResult_, DO3008RA::kWritePending);
  EXPECT_EQ(attached.device.step_, 206);
}

}  // namespace

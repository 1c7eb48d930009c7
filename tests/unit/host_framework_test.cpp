// SPDX-License-Identifier: Apache-2.0
// Our host framework: time records, the tear-free data time, request building, PDU decoding and
// the recording controller's bus.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <vector>

#include "host/AtomicPtime.h"
#include "host/RecordingController.h"
#include "host/SPModbus.h"
#include "host/TTime.h"

namespace {

using boost::posix_time::ptime;
using ::testing::ElementsAre;

TEST(HostTime, TTimeHoldsFullYearAndMonthFromOne) {
  const ptime time(boost::gregorian::date(2026, 12, 6), boost::posix_time::time_duration(9, 5, 3));
  const TTime t = get_ttime(time);
  EXPECT_EQ(t.year, 2026);
  EXPECT_EQ(t.month, 12);
  EXPECT_EQ(t.day, 6);
  EXPECT_EQ(t.hour, 9);
  EXPECT_EQ(t.minute, 5);
  EXPECT_EQ(t.second, 3);
  const TTime special = get_ttime(ptime());
  EXPECT_EQ(special.year, 0);
  EXPECT_EQ(special.second, 0);
}

TEST(HostTime, AtomicPtimeKeepsEveryValueIncludingSpecials) {
  AtomicPtime stored;
  EXPECT_TRUE(stored.load().is_not_a_date_time());
  const std::vector<ptime> values = {
      ptime(boost::posix_time::pos_infin), ptime(boost::posix_time::neg_infin),
      ptime(boost::gregorian::date(2038, 1, 19), boost::posix_time::time_duration(3, 14, 8)),
      ptime(boost::posix_time::not_a_date_time)};
  for (const auto& value : values) {
    stored = value;
    EXPECT_EQ(stored.load(), value);
  }
}

// A device that logs what reaches its answer path.
struct EchoDevice : SPModbus {
  int process_payload(tab_type table, unsigned int count) override {
    answers.push_back({table, count, regBuf_[0], regBuf_[1]});
    return 7;
  }
  int on_error() override {
    ++errors;
    return 0;
  }
  using SPModbus::modbus_read_input_registers;
  using SPModbus::modbus_read_registers;
  using SPModbus::modbus_write_register;
  using SPModbus::modbus_write_registers;
  struct Answer {
    tab_type table;
    unsigned int count;
    uint16_t word0;
    uint16_t word1;
  };
  std::vector<Answer> answers;
  int errors = 0;
};

TEST(HostModbus, ProcessDecodesResponsePdus) {
  EchoDevice device;
  unsigned char read[] = {0x04, 4, 0x01, 0x02, 0xFF, 0xFE};
  EXPECT_EQ(device.process(read, sizeof read), 7);
  unsigned char single[] = {0x06, 0x07, 0xD0, 0x00, 0x03};
  device.process(single, sizeof single);
  unsigned char multiple[] = {0x10, 0x00, 0x50, 0x00, 0x03};
  device.process(multiple, sizeof multiple);
  ASSERT_EQ(device.answers.size(), 3u);
  EXPECT_EQ(device.answers[0].table, SPModbus::INPUT_REGISTER);
  EXPECT_EQ(device.answers[0].count, 2u);
  EXPECT_EQ(device.answers[0].word0, 0x0102);
  EXPECT_EQ(device.answers[0].word1, 0xFFFE);
  EXPECT_EQ(device.answers[1].word0, 3);   // function 06 echoes the value in word 0
  EXPECT_EQ(device.answers[2].word0, 16);  // function 16: code, then the count
  EXPECT_EQ(device.answers[2].word1, 3);
}

TEST(HostModbus, MalformedOrExceptionPdusGoToOnError) {
  EchoDevice device;
  unsigned char exception[] = {0x83, 0x02};
  unsigned char shortRead[] = {0x03, 8, 0x00, 0x01};
  unsigned char oddCount[] = {0x03, 3, 0, 0, 0};
  unsigned char unknown[] = {0x2B, 0x0E};
  device.process(exception, sizeof exception);
  device.process(shortRead, sizeof shortRead);
  device.process(oddCount, sizeof oddCount);
  device.process(unknown, sizeof unknown);
  device.process(nullptr, 0);
  EXPECT_EQ(device.errors, 5);
  EXPECT_TRUE(device.answers.empty());
}

TEST(HostModbus, RequestsNeedAControllerAndValidArguments) {
  EchoDevice detached;
  EXPECT_EQ(detached.modbus_read_registers(0, 4), -1);
  auto controller = std::make_shared<RecordingController>();
  EchoDevice device;
  device.Init(controller, 1, Json::Value());
  EXPECT_EQ(device.modbus_read_registers(0, 126), -1);
  EXPECT_EQ(device.modbus_read_registers(-1, 1), -1);
  EXPECT_EQ(device.modbus_write_register(1, 0x10000), -1);
  const uint16_t values[] = {1, 2, 3};
  EXPECT_EQ(device.modbus_write_registers(80, 0, values), -1);
  EXPECT_EQ(controller->PendingRequests(), 0u);
  EXPECT_EQ(device.modbus_read_input_registers(2000, 2), 0);
  EXPECT_EQ(device.modbus_write_registers(80, 3, values), 0);
  EXPECT_THAT(controller->CallTexts(),
              ElementsAre("Request(fc4 2000/2)", "Request(fc16 80/3 = 1 2 3)"));
}

TEST(RecordingControllerBus, AnswersFromTheRegisterMapInOrder) {
  auto controller = std::make_shared<RecordingController>();
  EchoDevice device;
  device.Init(controller, 1, Json::Value());
  controller->SetHolding(80, 11);
  controller->SetInput(80, 22);
  device.modbus_read_registers(80, 1);
  device.modbus_read_input_registers(80, 1);
  device.modbus_write_register(81, 5);
  EXPECT_EQ(controller->RunAll(), 3u);
  ASSERT_EQ(device.answers.size(), 3u);
  EXPECT_EQ(device.answers[0].word0, 11);
  EXPECT_EQ(device.answers[1].word0, 22);
  EXPECT_EQ(device.answers[2].word0, 5);
  EXPECT_EQ(controller->Holding(81), 5);

  controller->RefuseFunction(ModbusRequest::kReadInput);
  device.modbus_read_input_registers(0, 1);
  controller->RunAll();
  EXPECT_EQ(device.errors, 1);

  controller->SetWrongWriteEcho(true, 9);
  device.modbus_write_register(81, 6);
  controller->RunAll();
  EXPECT_EQ(device.answers.back().word0, 9);
}

TEST(RecordingControllerBus, DetachedDeviceDoesNothingOutward) {
  EchoDevice device;
  const unsigned char record[3] = {1, 2, 3};
  EXPECT_EQ(device.SendSP(1, record, 3, false), -1);
  EXPECT_EQ(device.SaveDeviceHistory(record, 3), -1);
  EXPECT_EQ(device.OpenPort(), -1);
  int outlenRet = 0;
  EXPECT_EQ(device.DeviceIoControl(999, nullptr, 0, nullptr, 0, outlenRet), -1);
}

}  // namespace

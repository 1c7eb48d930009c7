// SPDX-License-Identifier: Apache-2.0
// The simulated sensor's pieces on their own: frames, register map rules, drift and faults.
#include <gtest/gtest.h>

#include <fstream>

#include "ControlFile.h"
#include "FaultPlan.h"
#include "FrameFinder.h"
#include "RtuFrame.h"
#include "SensorRegisters.h"
#include "SimOptions.h"
#include "TempDir.h"

namespace {

TEST(RtuFrames, CrcMatchesTheModbusReferenceAndCorruptionBreaksIt) {
  // 01 03 00 00 00 01 is sent as ... 84 0A on every Modbus-RTU line.
  const std::vector<uint8_t> request{0x01, 0x03, 0x00, 0x00, 0x00, 0x01};
  EXPECT_EQ(rtu::WithCrc(request, false),
            (std::vector<uint8_t>{0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x84, 0x0A}));
  const auto broken = rtu::WithCrc(request, true);
  EXPECT_EQ(broken.size(), 8u);
  EXPECT_NE(broken[6], 0x84);
  EXPECT_NE(broken[7], 0x0A);
  EXPECT_EQ(rtu::ReadAnswer(5, 4, {0x1234, 0x00FF}),
            (std::vector<uint8_t>{5, 4, 4, 0x12, 0x34, 0x00, 0xFF}));
  EXPECT_EQ(rtu::WriteEcho(1, 16, 80, 3), (std::vector<uint8_t>{1, 16, 0, 80, 0, 3}));
}

// A line paced at 9600 baud 8N1: a request sent in one write takes its characters' time, ends
// only after 3.5 characters of quiet, and one that starts within that silence after an answer,
// or breaks off for 2 characters inside, is flagged for the sensors to ignore.
TEST(FrameFinder, FindsFramesBySilenceOnAPacedLine) {
  using std::chrono::microseconds;
  FrameFinder finder;
  finder.Retime(FrameFinder::TimingOf(9600, 10, true));
  const auto character = finder.Times().character;
  const FrameFinder::Clock::time_point t0{std::chrono::seconds(1)};
  const uint8_t request[8] = {1, 3, 0, 0, 0, 4, 0x44, 0x09};
  finder.Received(request, 8, t0);
  EXPECT_EQ(*finder.Due(), t0 + 8 * character + finder.Times().silence);
  EXPECT_FALSE(finder.Complete(*finder.Due() - microseconds(1)));
  const auto heard = finder.Complete(*finder.Due());
  ASSERT_TRUE(heard);
  EXPECT_EQ(heard->bytes.size(), 8u);
  EXPECT_FALSE(heard->merged || heard->broken);

  const auto answerEnd = t0 + microseconds(20000);
  finder.Sent(answerEnd);
  finder.Received(request, 8, answerEnd + finder.Times().silence - microseconds(10));
  finder.Received(request, 8, finder.LineFreeAt() + 2 * character);
  const auto merged = finder.Complete(answerEnd + std::chrono::seconds(1));
  ASSERT_TRUE(merged);
  EXPECT_TRUE(merged->merged);
  EXPECT_TRUE(merged->broken);
  EXPECT_EQ(merged->bytes.size(), 16u);
  finder.Received(request, 8, finder.LineFreeAt() + finder.Times().silence);
  EXPECT_FALSE(finder.Complete(std::chrono::steady_clock::time_point::max())->merged);
}

// On a pseudo-terminal a request and the next may be read at once (the simulator was busy with
// a late answer): each is still a request of its own, as libmodbus reads them.
TEST(FrameFinder, RequestsReadAtOnceFromAnUnpacedLineAreEachTheirOwnFrame) {
  FrameFinder finder;
  finder.Retime(FrameFinder::TimingOf(9600, 10, false));
  const uint8_t twoRequests[16] = {1, 3, 0, 0, 0, 4, 0x44, 0x09, 1, 4, 0, 0, 0, 4, 0xF1, 0xC9};
  const FrameFinder::Clock::time_point t0{std::chrono::seconds(1)};
  finder.Received(twoRequests, 16, t0);
  const auto first = finder.Complete(t0);
  const auto second = finder.Complete(t0);
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->bytes, std::vector<uint8_t>(twoRequests, twoRequests + 8));
  EXPECT_EQ(second->bytes, std::vector<uint8_t>(twoRequests + 8, twoRequests + 16));
  EXPECT_FALSE(finder.Complete(t0));
}

SensorRegisters::Settings StaticSensor() {
  SensorRegisters::Settings settings;
  settings.drift = false;
  settings.temperature.low = -1.5;
  settings.humidity = 45.6;
  settings.pressure = 1013.2;
  return settings;
}

TEST(SensorMap, ReadsMustLieWithinOneBlock) {
  SensorRegisters registers(StaticSensor());
  EXPECT_EQ(registers.CheckRead(0, 4), 0);
  EXPECT_EQ(registers.CheckRead(80, 3), 0);
  EXPECT_EQ(registers.CheckRead(2000, 2), 0);
  EXPECT_EQ(registers.CheckRead(1, 2), 0);
  EXPECT_EQ(registers.CheckRead(0, 5), MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS);
  EXPECT_EQ(registers.CheckRead(4, 1), MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS);
  EXPECT_EQ(registers.CheckRead(82, 2), MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS);
  EXPECT_EQ(registers.CheckRead(2001, 2), MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS);
  EXPECT_EQ(registers.CheckRead(0, 0), MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE);
}

TEST(SensorMap, WritesFollowTheSensorsRules) {
  SensorRegisters registers(StaticSensor());
  EXPECT_EQ(registers.CheckWrite(1, {5}), MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS);  // measured
  EXPECT_EQ(registers.CheckWrite(80, {1, 2, 3}), 0);
  EXPECT_EQ(registers.CheckWrite(81, {1, 2, 3}), MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS);
  EXPECT_EQ(registers.CheckWrite(2000, {247}), 0);
  EXPECT_EQ(registers.CheckWrite(2000, {0}), MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE);
  EXPECT_EQ(registers.CheckWrite(2000, {248}), MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE);
  EXPECT_EQ(registers.CheckWrite(2001, {7}), 0);
  EXPECT_EQ(registers.CheckWrite(2001, {8}), MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE);
  EXPECT_EQ(registers.CheckWrite(2000, {}), MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE);

  const auto calibration = registers.ApplyWrite(80, {15, 25});
  EXPECT_FALSE(calibration.slave || calibration.baudCode);
  EXPECT_EQ(registers.Holding(80), 15);
  EXPECT_EQ(registers.Input(80), 15);
  EXPECT_EQ(registers.Input(81), 25);
  const auto bus = registers.ApplyWrite(2000, {9, 4});
  EXPECT_EQ(bus.slave, 9);
  EXPECT_EQ(bus.baudCode, 4);
  EXPECT_EQ(registers.Read(true, 2000, 2), (std::vector<uint16_t>{9, 4}));
}

TEST(SensorMap, ValuesInTenthsPinsAndTheBusBlock) {
  SensorRegisters::Settings settings = StaticSensor();
  settings.slave = 7;
  settings.baudCode = 6;
  settings.pins = {{false, 0, 101}, {true, 3, 202}};
  SensorRegisters registers(settings);
  registers.Refresh(100);
  EXPECT_EQ(registers.Holding(0), 101);     // pinned holding copy
  EXPECT_EQ(registers.Input(0), 456);       // humidity 45.6
  EXPECT_EQ(registers.Holding(1), 0xFFF1);  // -1.5 in two's complement tenths
  EXPECT_EQ(registers.Holding(3), 10132);
  EXPECT_EQ(registers.Input(3), 202);
  EXPECT_EQ(registers.Input(2000), 7);
  EXPECT_EQ(registers.Holding(2001), 6);
}

TEST(SensorMap, TheTemperatureRisesToItsPeakAndComesBack) {
  SensorRegisters::Wave wave{20.0, 30.0, 10.0};
  EXPECT_DOUBLE_EQ(wave.At(0), 20.0);
  EXPECT_DOUBLE_EQ(wave.At(2.5), 25.0);
  EXPECT_DOUBLE_EQ(wave.At(5), 30.0);
  EXPECT_DOUBLE_EQ(wave.At(7.5), 25.0);
  EXPECT_DOUBLE_EQ(wave.At(12.5), 25.0);
  SensorRegisters::Settings settings;
  settings.temperature = wave;
  SensorRegisters registers(settings);
  registers.Refresh(5);
  EXPECT_EQ(registers.Input(1), 300);
  EXPECT_EQ(registers.Holding(1), 300);
}

// A control file holds registers over the wave while it says so; its bad lines are named and
// skipped, and a register whose line goes back to the wave.
TEST(SensorControl, HeldValuesBadLinesAndRelease) {
  const ControlText text = ParseControlText(
      "# alarm\ninput 1 = 315\nholding 80 = -5\n i:3=7 \nh2=1\n0 = 400\n"
      "input 1 315\nbogus 1 = 2\ni1 = 70000\ni9999=1\n\n");
  ASSERT_EQ(text.errors.size(), 4u);
  EXPECT_EQ(text.errors[0].rfind("line 7 ", 0), 0u) << text.errors[0];
  EXPECT_EQ(text.errors[3].rfind("line 10 ", 0), 0u) << text.errors[3];
  // Garbage bytes are named escaped, never written raw into the log.
  const ControlText garbage = ParseControlText(std::string("\x1b[2Jx\x01\x7f\\ = \0", 12));
  ASSERT_EQ(garbage.errors.size(), 1u);
  EXPECT_EQ(garbage.errors[0].rfind("line 1 '\\x1b[2Jx\\x01\\x7f\\x5c = \\x00'", 0), 0u)
      << garbage.errors[0];

  TempDir dir;
  ControlFile control(dir.Path("control"));
  ASSERT_TRUE(control.Check());  // missing: nothing held
  EXPECT_FALSE(control.Check());
  std::ofstream(dir.Path("control")) << "input 1 = 315\nholding 80 = -5\n0 = 400\ni1 = x\n";
  const auto held = control.Check();
  ASSERT_TRUE(held);
  EXPECT_EQ(held->errors.size(), 1u);
  EXPECT_FALSE(control.Check());

  SensorRegisters::Settings settings;
  settings.temperature = {20.0, 30.0, 10.0};
  settings.pins = {{false, 3, 99}};
  SensorRegisters registers(settings);
  registers.Control(held->pins);
  registers.Refresh(5);
  EXPECT_EQ(registers.Input(1), 315);
  EXPECT_EQ(registers.Holding(1), 300);  // the wave: only the input copy is held
  EXPECT_EQ(registers.Holding(80), 0xFFFB);
  EXPECT_EQ(registers.Input(0), 400);
  EXPECT_EQ(registers.Holding(0), 400);

  std::ofstream(dir.Path("control")) << "h3 = 5\n";
  const auto changed = control.Check();
  ASSERT_TRUE(changed);
  registers.Control(changed->pins);
  registers.Refresh(2.5);
  EXPECT_EQ(registers.Input(1), 250);
  EXPECT_EQ(registers.Input(0), 460);  // humidity drifts again
  EXPECT_EQ(registers.Holding(3), 5);
  registers.Control({});
  EXPECT_EQ(registers.Holding(3), 99);  // the --set pin again
}

TEST(SensorFaults, SharesAreDrawnInProportionAndFunction04CanBeSilenced) {
  FaultSettings settings;
  settings.dropPercent = 20;
  settings.corruptPercent = 10;
  settings.seed = 42;
  FaultPlan plan(settings);
  int drops = 0;
  int corrupt = 0;
  int clean = 0;
  for (int i = 0; i < 10000; ++i) {
    switch (plan.Decide(3)) {
      case Fault::kDrop:
        ++drops;
        break;
      case Fault::kCorrupt:
        ++corrupt;
        break;
      case Fault::kNone:
        ++clean;
        break;
      default:
        ADD_FAILURE() << "a fault with no share";
    }
  }
  EXPECT_NEAR(drops, 2000, 200);
  EXPECT_NEAR(corrupt, 1000, 150);
  EXPECT_NEAR(clean, 7000, 250);

  FaultSettings silentInput;
  silentInput.neverAnswerInput = true;
  FaultPlan quiet(silentInput);
  for (int i = 0; i < 100; ++i) {
    EXPECT_EQ(quiet.Decide(4), Fault::kDrop);
    EXPECT_EQ(quiet.Decide(3), Fault::kNone);
  }
}

TEST(SensorOptions, ArgumentsAreCheckedAndTaken) {
  const SimOptions options =
      ParseSimOptions({"--static", "--temperature", "20:35:8", "--set", "i:2001=3", "--drop", "30",
                       "--wrong-echo", "--slave", "5", "--link", "/tmp/x"});
  EXPECT_FALSE(options.sensor.drift);
  EXPECT_DOUBLE_EQ(options.sensor.temperature.high, 35.0);
  EXPECT_DOUBLE_EQ(options.sensor.temperature.periodSeconds, 8.0);
  ASSERT_EQ(options.sensor.pins.size(), 1u);
  EXPECT_TRUE(options.sensor.pins[0].input);
  EXPECT_EQ(options.sensor.pins[0].address, 2001);
  EXPECT_EQ(options.faults.dropPercent, 30);
  EXPECT_TRUE(options.faults.wrongEcho);
  EXPECT_EQ(options.sensor.slave, 5);
  EXPECT_EQ(options.link, "/tmp/x");
  for (const std::vector<std::string>& wrong :
       std::vector<std::vector<std::string>>{{"--drop", "60", "--corrupt", "50"},
                                             {"--slave", "0"},
                                             {"--set", "x:1=2"},
                                             {"--set", "h:2002=1"},
                                             {"--temperature", "a"},
                                             {"--temperature", "1:2:0"},
                                             {"--late-ms"},
                                             {"--bogus"}}) {
    EXPECT_THROW(ParseSimOptions(wrong), SimUsageError) << ::testing::PrintToString(wrong);
  }
}

}  // namespace

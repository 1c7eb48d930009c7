// SPDX-License-Identifier: Apache-2.0
// Commands: register writes, signal commands, the status document as text or by address, and
// the write outcome reported ahead of the host's own handling.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <json/reader.h>
#include <json/writer.h>

#include "support/DeviceProbe.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// Records what the caller's buffer held when the host's own handling was reached.
class PeekingController : public RecordingController {
 public:
  int DeviceIoControl(SMDVDevice& device, int code, const void* in, int inlen, void* out,
                      int outlen, int& outlenRet) override {
    outSeen.clear();
    if (out != nullptr && outlen > 0) {
      const auto* bytes = static_cast<const unsigned char*>(out);
      outSeen.assign(bytes, bytes + outlen);
    }
    outlenRetSeen = outlenRet;
    return RecordingController::DeviceIoControl(device, code, in, inlen, out, outlen, outlenRet);
  }
  std::vector<unsigned char> outSeen;
  int outlenRetSeen = -999;
};

struct Commanded {
  Commanded() { device.Init(controller, 12, Json::Value(Json::objectValue)); }

  // Runs one command with stdout captured; the log is kept in `log`.
  int Run(int code, const void* in, int inlen, void* out, int outlen) {
    ::testing::internal::CaptureStdout();
    try {
      const int result = device.DeviceIoControl(code, in, inlen, out, outlen, outlenRet);
      log = ::testing::internal::GetCapturedStdout();
      return result;
    } catch (...) {
      log = ::testing::internal::GetCapturedStdout();
      throw;  // an exception leaving a command is a failure of the test
    }
  }
  int Run(int code, const std::string& text) {
    return Run(code, text.data(), static_cast<int>(text.size()), nullptr, 0);
  }

  std::shared_ptr<PeekingController> controller = std::make_shared<PeekingController>();
  DeviceProbe device;
  int outlenRet = -7;
  std::string log;
};

std::string LogLine(int code) { return "DO3008RA::DeviceIoControl " + std::to_string(code) + "\n"; }

// ---- register writes ---------------------------------------------------------------------------

TEST(WriteCommands, SingleRegisterWriteSendsFunction06AndAwaitsItsEcho) {
  Commanded c;
  const uint16_t words[] = {2000, 3};
  char out[4] = {'a', 'b', 'c', 'd'};
  EXPECT_EQ(c.Run(206, words, sizeof words, out, sizeof out), 0);
  EXPECT_EQ(c.log, LogLine(206));
  EXPECT_THAT(c.controller->CallTexts(), ElementsAre("OpenPort()", "Request(fc6 2000/1 = 3)"));
  EXPECT_EQ(c.device.step_, 206);
  EXPECT_EQ(c.device.writeExpect_, 3);
  EXPECT_EQ(c.device.writeResult_, DO3008RA::kWritePending);
  EXPECT_EQ(std::string(out, 4), "abcd");
  EXPECT_EQ(c.outlenRet, -7);
}

TEST(WriteCommands, SeveralRegistersWriteSendsFunction16WithEveryValue) {
  Commanded c;
  const uint16_t words[] = {80, 0xFFFF, 2, 3};
  EXPECT_EQ(c.Run(210, words, 8, nullptr, 0), 0);
  EXPECT_EQ(c.log, LogLine(210));
  EXPECT_THAT(c.controller->CallTexts(),
              ElementsAre("OpenPort()", "Request(fc16 80/3 = 65535 2 3)"));
  EXPECT_EQ(c.device.step_, 210);
  EXPECT_EQ(c.device.writeExpect_, 3);
  EXPECT_EQ(c.device.writeResult_, DO3008RA::kWritePending);
}

TEST(WriteCommands, CountComesFromWholeWordsAndInputMayBeUnaligned) {
  Commanded c;
  // Odd length: the trailing byte is not a word. Start one byte in: not 2-aligned.
  unsigned char bytes[1 + 9] = {};
  const uint16_t words[] = {2000, 7, 1};
  std::memcpy(bytes + 1, words, sizeof words);
  EXPECT_EQ(c.Run(210, bytes + 1, 7, nullptr, 0), 0);
  EXPECT_THAT(c.controller->CallTexts(), ElementsAre("OpenPort()", "Request(fc16 2000/2 = 7 1)"));
  EXPECT_EQ(c.device.writeExpect_, 2);
  EXPECT_EQ(c.Run(206, bytes + 1, 4, nullptr, 0), 0);
  EXPECT_EQ(c.controller->CallTexts().back(), "Request(fc6 2000/1 = 7)");
}

TEST(WriteCommands, LargestWriteModbusCarriesIsTaken) {
  Commanded c;
  std::vector<uint16_t> words(1 + 123, 5);
  words[0] = 100;
  EXPECT_EQ(c.Run(210, words.data(), static_cast<int>(words.size() * 2), nullptr, 0), 0);
  ASSERT_EQ(c.controller->CallsOf("Request").size(), 1u);
  EXPECT_EQ(c.controller->CallsOf("Request")[0].request.count, 123);
  EXPECT_EQ(c.device.writeExpect_, 123);
}

TEST(WriteCommands, ShortOrOversizedInputIsRefusedBeforeAnythingChanges) {
  std::vector<uint16_t> big(1 + 124, 1);
  const uint16_t words[] = {80, 1, 2, 3};
  struct Case {
    int code;
    const void* in;
    int inlen;
  };
  const Case cases[] = {{206, words, 0},
                        {206, words, 3},
                        {206, words, -4},
                        {206, nullptr, 4},
                        {210, words, 0},
                        {210, words, 2},
                        {210, words, 3},
                        {210, words, -8},
                        {210, nullptr, 8},
                        {210, big.data(), static_cast<int>(big.size() * 2)},
                        {210, big.data(), static_cast<int>(big.size() * 2) + 1}};
  for (const auto& k : cases) {
    SCOPED_TRACE(::testing::Message() << k.code << " inlen " << k.inlen);
    Commanded c;
    c.device.step_ = 16;
    c.device.writeResult_ = DO3008RA::kWriteConfirmed;
    c.device.writeExpect_ = 42;
    EXPECT_EQ(c.Run(k.code, k.in, k.inlen, nullptr, 0), -1);
    EXPECT_EQ(c.log, LogLine(k.code));
    EXPECT_THAT(c.controller->CallTexts(), IsEmpty());
    EXPECT_EQ(c.device.step_, 16);
    EXPECT_EQ(c.device.writeResult_, DO3008RA::kWriteConfirmed);
    EXPECT_EQ(c.device.writeExpect_, 42);
  }
}

// ---- signal commands ---------------------------------------------------------------------------

TEST(SignalCommands, ValidTextGoesToTheHostAndItsResultIsReturned) {
  for (int code : {310, 320}) {
    for (int mode : {1, 3, 5}) {
      SCOPED_TRACE(::testing::Message() << code << " mode " << mode);
      Commanded c;
      c.device.b_mode_ = mode;
      c.device.writeResult_ = DO3008RA::kWriteConfirmed;
      c.controller->SetDeviceIoControlResult(17);
      // Not terminated: only inlen bytes belong to the text.
      const std::string text = R"({"signal_id":"0123456789AB","value":1})";
      const std::string buffer = text + "garbage";
      EXPECT_EQ(c.Run(code, buffer.data(), static_cast<int>(text.size()), nullptr, 0), 17);
      EXPECT_EQ(c.log, LogLine(code));
      EXPECT_EQ(c.device.step_, code);
      EXPECT_EQ(c.device.writeResult_, DO3008RA::kWritePending);
      EXPECT_THAT(c.controller->CallTexts(),
                  ElementsAre("OpenPort()", "DeviceIoControl(" + std::to_string(code) + ", " +
                                                std::to_string(text.size()) + ", 0, -7)"));
    }
  }
}

TEST(SignalCommands, UnparsableTextIsRefusedWhereItIsChecked) {
  const std::string nested(5000, '[');  // deeper than the reader allows: it throws
  const std::vector<std::string> bad = {"{", "not json", "{\"signal_id\": }", nested};
  struct Mode {
    int code;
    int mode;
  };
  for (const Mode m : {Mode{310, 1}, Mode{310, 5}, Mode{320, 3}, Mode{320, 5}, Mode{320, 0}}) {
    for (const auto& text : bad) {
      SCOPED_TRACE(::testing::Message()
                   << m.code << " mode " << m.mode << " " << text.substr(0, 20));
      Commanded c;
      c.device.b_mode_ = m.mode;
      c.device.writeResult_ = DO3008RA::kWriteConfirmed;
      EXPECT_EQ(c.Run(m.code, text), -1);
      EXPECT_EQ(c.device.step_, m.code);
      EXPECT_EQ(c.device.writeResult_, DO3008RA::kWritePending);
      EXPECT_THAT(c.controller->CallTexts(), ElementsAre("OpenPort()"));
    }
  }
}

TEST(SignalCommands, MissingOrNegativeTextIsAParseFailure) {
  const char text[] = "{}";
  for (int code : {310, 320}) {
    Commanded c;
    c.device.b_mode_ = 5;
    EXPECT_EQ(c.Run(code, nullptr, 10, nullptr, 0), -1);
    EXPECT_EQ(c.Run(code, text, -2, nullptr, 0), -1);
    EXPECT_EQ(c.Run(code, text, 0, nullptr, 0), -1);
    EXPECT_TRUE(c.controller->CallsOf("DeviceIoControl").empty());
  }
}

TEST(SignalCommands, Code320InMode1PassesAnyBytesUnchecked) {
  const std::string nested(5000, '{');
  for (const std::string& text : {std::string("\xff\xfe binary"), nested, std::string()}) {
    Commanded c;
    c.device.b_mode_ = 1;
    c.controller->SetDeviceIoControlResult(-5);
    EXPECT_EQ(c.Run(320, text), -5);
    EXPECT_EQ(c.controller->CallsOf("DeviceIoControl").size(), 1u);
  }
}

// ---- the status document as text ---------------------------------------------------------------

TEST(StatusText, NullDocumentBeforeTheFirstCycle) {
  Commanded c;
  const std::string expected = Json::FastWriter().write(Json::Value());
  char out[16];
  std::memset(out, 'x', sizeof out);
  EXPECT_EQ(c.Run(801, nullptr, 0, out, 0), -1);
  EXPECT_EQ(c.outlenRet, static_cast<int>(expected.size()));
  EXPECT_EQ(out[0], 'x');
  EXPECT_EQ(c.Run(801, nullptr, 0, out, c.outlenRet), 0);
  EXPECT_EQ(std::string(out, expected.size()), expected);
  EXPECT_EQ(out[expected.size()], 'x') << "no terminator is added";
  EXPECT_EQ(c.log, LogLine(801));
}

TEST(StatusText, TooSmallThenExactBuffer) {
  Commanded c;
  c.device.data_.inputMeasure[1] = 234;
  c.device.data_.inputBus[1] = 7;
  c.device.dataTime_.store(boost::posix_time::ptime(boost::gregorian::date(2026, 1, 2)));
  std::vector<char> out(4096, 'x');

  EXPECT_EQ(c.Run(801, nullptr, 0, out.data(), 0), -1);
  const int needed = c.outlenRet;
  ASSERT_GT(needed, 20);
  EXPECT_EQ(c.Run(801, nullptr, 0, out.data(), needed - 1), -1);
  EXPECT_EQ(c.outlenRet, needed);
  EXPECT_EQ(out[0], 'x') << "nothing copied into a buffer that is too small";

  EXPECT_EQ(c.Run(801, nullptr, 0, out.data(), needed), 0);
  EXPECT_EQ(c.outlenRet, needed);
  EXPECT_EQ(out[static_cast<std::size_t>(needed)], 'x');
  const std::string text(out.data(), static_cast<std::size_t>(needed));
  EXPECT_EQ(text, Json::FastWriter().write(c.device.jsonData_));
  Json::Value parsed;
  ASSERT_TRUE(Json::Reader().parse(text, parsed));
  EXPECT_EQ(parsed["温度"].asDouble(), 23.399999618530273);
  EXPECT_EQ(parsed["波特率"].asString(), "1200");
  EXPECT_EQ(parsed["更新时间"].asString(), "0-0-0 0:0:0");
}

TEST(StatusText, NegativeSizeOrNoBufferIsTooSmall) {
  Commanded c;
  char out[64];
  std::memset(out, 'x', sizeof out);
  for (int outlen : {-1, -2147483647 - 1}) {
    EXPECT_EQ(c.Run(801, nullptr, 0, out, outlen), -1);
    EXPECT_EQ(c.outlenRet, 5);  // "null" and the writer's line end
  }
  EXPECT_EQ(c.Run(801, nullptr, 0, nullptr, 64), -1);
  EXPECT_EQ(out[0], 'x');
}

TEST(StatusCommands, LeaveTheWriteStateThePortAndTheHostAlone) {
  for (int code : {801, 803}) {
    Commanded c;
    c.device.step_ = 206;
    c.device.writeResult_ = DO3008RA::kWriteNotConfirmed;
    std::vector<char> out(256);
    c.Run(code, nullptr, -3, out.data(), static_cast<int>(out.size()));
    EXPECT_EQ(c.device.step_, 206);
    EXPECT_EQ(c.device.writeResult_, DO3008RA::kWriteNotConfirmed);
    EXPECT_THAT(c.controller->CallTexts(), IsEmpty());
  }
}

// ---- the status document by address ------------------------------------------------------------

TEST(StatusAddress, HandsOutTheDocumentsAddressWhenAPointerFits) {
  Commanded c;
  c.device.dataTime_.store(boost::posix_time::ptime(boost::gregorian::date(2026, 1, 2)));
  const int pointerSize = static_cast<int>(sizeof(void*));
  unsigned char out[sizeof(void*) + 1];
  std::memset(out, 0xAA, sizeof out);

  for (int outlen : {0, pointerSize - 1, -1, -pointerSize}) {
    SCOPED_TRACE(outlen);
    EXPECT_EQ(c.Run(803, nullptr, 0, out, outlen), -1);
    EXPECT_EQ(c.outlenRet, pointerSize);
    EXPECT_EQ(out[0], 0xAA);
  }
  EXPECT_EQ(c.Run(803, nullptr, 0, nullptr, pointerSize), -1);

  EXPECT_EQ(c.Run(803, nullptr, 0, out, pointerSize), 0);
  EXPECT_EQ(c.outlenRet, pointerSize);
  const Json::Value* handed = nullptr;
  std::memcpy(&handed, out, sizeof handed);
  EXPECT_EQ(handed, &c.device.jsonData_);
  EXPECT_EQ(out[sizeof(void*)], 0xAA);
  EXPECT_TRUE(handed->isObject()) << "rebuilt before the address is handed out";
  EXPECT_EQ(c.log, LogLine(803));
}

// ---- every other code
// ----------------------------------------------------------------------------

TEST(OtherCommands, WriteOutcomeIsInTheBufferBeforeTheHostHandlesTheCode) {
  Commanded c;
  const uint16_t words[] = {2000, 3};
  c.Run(206, words, sizeof words, nullptr, 0);
  c.controller->RunNext();  // the sensor echoes 3: confirmed
  ASSERT_EQ(c.device.writeResult_, DO3008RA::kWriteConfirmed);
  c.controller->SetDeviceIoControlResult(123);

  unsigned char out[8];
  std::memset(out, 0xAA, sizeof out);
  EXPECT_EQ(c.Run(4, nullptr, 0, out, 4), 123);
  EXPECT_EQ(c.log, LogLine(4));
  int32_t seen = 0;
  ASSERT_EQ(c.controller->outSeen.size(), 4u);
  std::memcpy(&seen, c.controller->outSeen.data(), sizeof seen);
  EXPECT_EQ(seen, 1);
  EXPECT_EQ(c.controller->outlenRetSeen, 4);
  EXPECT_EQ(out[4], 0xAA);
}

TEST(OtherCommands, BufferTooSmallGetsNothingAndZeroLength) {
  for (int outlen : {0, 3, -1, -2147483647 - 1}) {
    SCOPED_TRACE(outlen);
    Commanded c;
    c.controller->SetDeviceIoControlResult(-1);
    unsigned char out[8];
    std::memset(out, 0xAA, sizeof out);
    EXPECT_EQ(c.Run(999, nullptr, 0, out, outlen), -1);
    EXPECT_EQ(c.controller->outlenRetSeen, 0);
    EXPECT_EQ(out[0], 0xAA);
    EXPECT_EQ(c.Run(0, nullptr, 0, nullptr, 4), -1);  // no buffer at all
    EXPECT_EQ(c.controller->outlenRetSeen, 0);
  }
}

TEST(OtherCommands, PendingAndUnconfirmedOutcomesAreReportedAsTheyAre) {
  for (int32_t outcome : {-1, 3}) {
    Commanded c;
    c.device.writeResult_ = outcome;
    int32_t out = 0;
    c.Run(-206, nullptr, 0, &out, sizeof out);
    EXPECT_EQ(out, outcome);
    EXPECT_EQ(c.controller->CallsOf("DeviceIoControl").size(), 1u);
  }
}

}  // namespace

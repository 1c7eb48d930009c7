// SPDX-License-Identifier: Apache-2.0
// DeviceIoControl with any code, input bytes, inlen and outlen, against real buffers of exactly
// the stated sizes (negative sizes give empty buffers), at any alignment. Checks the result, the
// answer bytes and that nothing outside the answer is written.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"

namespace {

using fuzz::Require;

constexpr int kHostResult = 7;  // what the controller's own handling returns
constexpr int kUntouched = -77;
constexpr unsigned char kCanary = 0xA5;
constexpr int kCodes[] = {206, 210, 310, 320, 801, 803};

struct Command {
  int code = 0;
  int inlen = 0;
  int outlen = 0;
  std::size_t outOffset = 0;
  std::string in;  // the input bytes, handed over in a buffer of exactly max(inlen, 0) bytes
};

int ChooseLength(FuzzedDataProvider& input, int natural) {
  switch (input.ConsumeIntegralInRange(0, 4)) {
    case 0:
      return natural;
    case 1:
      return input.ConsumeIntegralInRange(-8, -1);
    case 2:
      return input.ConsumeIntegral<int>() | INT32_MIN;  // any negative
    case 3:
      return input.ConsumeIntegralInRange(0, 9);
    default:
      return input.ConsumeIntegralInRange(0, 4096);
  }
}

Command NextCommand(FuzzedDataProvider& input) {
  Command command;
  const int pick = input.ConsumeIntegralInRange(0, 7);
  command.code = pick < 6 ? kCodes[pick] : input.ConsumeIntegral<int>();
  const std::string payload = input.ConsumeRandomLengthString(2048);
  command.inlen = ChooseLength(input, static_cast<int>(payload.size()));
  command.in = payload;
  command.in.resize(command.inlen > 0 ? command.inlen : 0);
  command.outlen = ChooseLength(input, 64);
  command.outOffset = input.ConsumeIntegralInRange<std::size_t>(0, 7);
  return command;
}

uint16_t Word(const std::string& in, std::size_t index) {
  uint16_t word;
  std::memcpy(&word, in.data() + 2 * index, sizeof word);
  return word;
}

bool Parses(const std::string& in) {
  Json::Reader reader;
  Json::Value value;
  try {
    return reader.parse(in.data(), in.data() + in.size(), value);
  } catch (const Json::Exception&) {
    return false;
  }
}

void CheckWrite(const DeviceProbe& device, RecordingController& bus, const Command& command,
                int result) {
  const int count = command.inlen / 2 - 1;
  const bool tooLong =
      command.code == 210 && count > static_cast<int>(ModbusRequest::kMaxWriteCount);
  // Too short to name a register and a value, or more than one Modbus write can carry: refusing
  // it is as good as sending what fits.
  if (command.inlen < 4 || tooLong) return;
  Require(result == 0, "a register write returned " + std::to_string(result));
  Require(device.step_ == command.code && device.writeResult_ == -1, "write state");
  const auto requests = bus.CallsOf("Request");
  if (command.code == 206) {
    Require(device.writeExpect_ == Word(command.in, 1), "writeExpect_ of a single write");
    Require(requests.size() == 1, "a single write sends one request");
    const ModbusRequest& request = requests[0].request;
    Require(request.function == 6 && request.address == Word(command.in, 0) &&
                request.values[0] == Word(command.in, 1),
            "single write request");
    return;
  }
  Require(device.writeExpect_ == count, "writeExpect_ of a multiple write");
  Require(requests.size() == 1, "a multiple write sends one request");
  const ModbusRequest& request = requests[0].request;
  Require(
      request.function == 16 && request.address == Word(command.in, 0) && request.count == count,
      "multiple write request");
  for (int i = 0; i < count; ++i) {
    Require(request.values[i] == Word(command.in, i + 1), "written value " + std::to_string(i));
  }
}

bool Untouched(const unsigned char* bytes, std::size_t from, std::size_t to) {
  for (std::size_t i = from; i < to; ++i) {
    if (bytes[i] != kCanary) return false;
  }
  return true;
}

void Execute(DeviceProbe& device, RecordingController& bus, const Command& command) {
  const std::size_t outSize = command.outlen > 0 ? command.outlen : 0;
  const fuzz::Buffer in(command.in.size());
  std::memcpy(in.data(), command.in.data(), command.in.size());
  const fuzz::Buffer buffer(command.outOffset + outSize, kCanary);
  unsigned char* out = buffer.data() + command.outOffset;
  const int stepBefore = device.step_;
  const int writeResultBefore = device.writeResult_;
  const bool modeOne = device.b_mode_ == 1;
  int outlenRet = kUntouched;
  int result = 0;
  bus.ClearCalls();
  fuzz::Run("DeviceIoControl", {}, [&] {
    result = device.DeviceIoControl(command.code, in.data(), command.inlen, out, command.outlen,
                                    outlenRet);
  });
  const auto hostCalls = bus.CallsOf("DeviceIoControl");
  const std::string codeText = std::to_string(command.code);
  switch (command.code) {
    case 206:
    case 210:
      Require(outlenRet == kUntouched && Untouched(out, 0, outSize), "a write answered");
      CheckWrite(device, bus, command, result);
      return;
    case 310:
    case 320: {
      const bool checked = command.code == 310 || !modeOne;
      const bool refused = checked && (command.inlen < 0 || !Parses(command.in));
      Require(device.step_ == command.code && device.writeResult_ == -1, "signal command state");
      Require(result == (refused ? -1 : kHostResult),
              codeText + " returned " + std::to_string(result));
      Require(hostCalls.size() == (refused ? 0u : 1u), codeText + " host handling");
      return;
    }
    case 801: {
      const std::string text = Json::FastWriter().write(device.jsonData_);
      const bool fits = command.outlen >= 0 && outSize >= text.size();
      Require(outlenRet == static_cast<int>(text.size()), "801 length");
      Require(result == (fits ? 0 : -1), "801 returned " + std::to_string(result));
      const std::size_t written = fits ? text.size() : 0;
      Require(std::memcmp(out, text.data(), written) == 0, "801 text");
      Require(Untouched(out, written, outSize), "801 wrote past its text");
      break;
    }
    case 803: {
      const std::size_t slot = sizeof(void*);
      const bool fits = command.outlen >= 0 && outSize >= slot;
      Require(outlenRet == static_cast<int>(slot), "803 length");
      Require(result == (fits ? 0 : -1), "803 returned " + std::to_string(result));
      const void* address = &device.jsonData_;
      Require(!fits || std::memcmp(out, &address, slot) == 0, "803 address");
      Require(Untouched(out, fits ? slot : 0, outSize), "803 wrote past its slot");
      break;
    }
    default: {
      const bool fits = command.outlen >= 4;
      Require(result == kHostResult && hostCalls.size() == 1, codeText + " host handling");
      Require(hostCalls[0].args[3] == (fits ? "4" : "0"), codeText + " length before the host");
      Require(!fits || std::memcmp(out, &writeResultBefore, 4) == 0, codeText + " result bytes");
      Require(Untouched(out, fits ? 4 : 0, outSize), codeText + " wrote past its result");
      return;
    }
  }
  Require(hostCalls.empty() && bus.CallsOf("OpenPort").empty(), "status command reached host");
  Require(device.step_ == stepBefore && device.writeResult_ == writeResultBefore,
          "a status command changed the exchange");
}

// Answers the oldest pending request with two words, as the sensor's echo would come back.
void Acknowledge(DeviceProbe& device, RecordingController& bus, FuzzedDataProvider& input) {
  const std::vector<uint16_t> words = {input.ConsumeIntegral<uint16_t>(),
                                       input.ConsumeIntegral<uint16_t>()};
  fuzz::Run("process_payload", fuzz::Completion(fuzz::NamesTextMember(device)), [&] {
    if (!bus.AnswerNext(words)) {
      device.DeliverAnswer(SPModbus::HOLDING_REGISTER, words.data(), 2);
    }
  });
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::SilenceStdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  static const auto bus = [] {
    auto controller = std::make_shared<RecordingController>();
    controller->SetDeviceIoControlResult(kHostResult);
    return controller;
  }();
  FuzzedDataProvider input(data, size);
  auto device = fuzz::NewDevice(bus);
  device->b_mode_ = input.ConsumeBool() ? 1 : 5;
  if (input.ConsumeBool()) {  // a completed cycle, so that the status document has content
    const auto blob = input.ConsumeBytes<unsigned char>(fuzz::kRecordSize);
    fuzz::Run("LoadFromCache", fuzz::Completion(false),
              [&] { device->LoadFromCache(blob.data(), static_cast<int>(blob.size())); });
  }
  for (int i = 0; i < 16 && input.remaining_bytes() > 0; ++i) {
    if (input.ConsumeIntegralInRange(0, 5) == 0) {
      Acknowledge(*device, *bus, input);
    } else {
      Execute(*device, *bus, NextCommand(input));
    }
    fuzz::CheckDevice(*device);
  }
  fuzz::Drain(*bus);
  bus->ClearCalls();
  return 0;
}

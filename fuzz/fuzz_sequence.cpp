// SPDX-License-Identifier: Apache-2.0
// A device driven through any sequence of host operations: start a cycle, answer (with any
// register words, late, unsolicited, as raw frames, or not at all), run a command, load a cache
// blob, query a value, reconfigure, misbehave on the bus. After every operation the record must
// be exactly what the answers and completions put into it, the write outcome one of -1, 1 and 3,
// the value query one of its three answers, and no exception may leave an operation that has
// none to give.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"

namespace {

using fuzz::Require;

// What the device should hold after an answer, from its state before and the delivered words.
struct State {
  fuzz::RecordBytes record{};
  int step = 0;
  int writeResult = -1;
  int result = 1;
  bool completes = false;

  bool operator==(const State& other) const {
    return record == other.record && step == other.step && writeResult == other.writeResult;
  }
};

State Capture(const DeviceProbe& device) {
  State state;
  state.record = fuzz::Bytes(device);
  state.step = device.step_;
  state.writeResult = device.writeResult_;
  return state;
}

// Record offset and register count that each poll step fills.
struct Block {
  std::size_t offset;
  std::size_t count;
};

State Predict(const State& before, const DeviceProbe& device) {
  static const Block kBlocks[6] = {{4, 4}, {12, 4}, {20, 3}, {26, 3}, {32, 2}, {36, 2}};
  State next = before;
  const auto& words = device.regBuf_;
  if (before.step >= 11 && before.step <= 16) {
    const Block& block = kBlocks[before.step - 11];
    std::memcpy(next.record.data() + block.offset, words.data(), 2 * block.count);
    next.step = before.step == 16 ? 16 : before.step + 1;
    next.completes = before.step == 16;
    next.result = before.step == 16 ? 0 : 1;
  } else if (before.step == 206) {
    next.writeResult = words[0] == device.writeExpect_ ? 1 : 3;
    next.result = 0;
  } else if (before.step == 210) {
    next.writeResult = words[0] == 16 && words[1] == device.writeExpect_ ? 1 : 3;
    next.result = 0;
  }
  return next;
}

class Driver {
 public:
  // The controller is kept across executions (making one clears two 64-Ki register maps); every
  // register an execution touches is cleared again in Finish.
  explicit Driver(FuzzedDataProvider& input)
      : input_(input), bus_(SharedBus()), device_(fuzz::NewDevice(bus_)) {
    expected_ = Capture(*device_);
  }

  void Step() {
    bus_->ClearCalls();
    switch (input_.ConsumeIntegralInRange(0, 12)) {
      case 0:
        return RefreshStatus();
      case 1:
        return Answer(Reach::kMust, [&] { return bus_->AnswerNext(Words(10)); });
      case 2:
        return Answer(Reach::kMay, [&] { return bus_->RunNext(); });
      case 3:
        return Answer(Reach::kMustNot, [&] { return bus_->FailNext(); });
      case 4:
        return Unsolicited();
      case 5:
        return RawFrame();
      case 6:
        return Command();
      case 7:
        return Cache();
      case 8:
        return Query();
      case 9:
        return Reconfigure();
      case 10:
        return MisbehavingBus();
      case 11:
        return HostState();
      default:
        return SensorRegisters();
    }
  }

  void Check() {
    NoteWrites();
    const State actual = Capture(*device_);
    Require(actual.record == expected_.record, "the record is not what the answers put there");
    const int step = actual.step;
    Require(step == 0 || (step >= 11 && step <= 16) || step == 206 || step == 210 || step == 310 ||
                step == 320,
            "step_ is " + std::to_string(step));
    fuzz::CheckDevice(*device_);
  }

  void Finish() {
    fuzz::Drain(*bus_);
    NoteWrites();
    for (const uint16_t address : touched_) {
      bus_->SetHolding(address, 0);
      bus_->SetInput(address, 0);
    }
    bus_->RefuseFunction(0);
    bus_->SetWrongWriteEcho(false);
    bus_->ClearCalls();
  }

 private:
  static std::shared_ptr<RecordingController> SharedBus() {
    static const auto bus = std::make_shared<RecordingController>();
    return bus;
  }

  // Write requests may be run on the register map later: remember every register they name.
  void NoteWrites() {
    for (const auto& call : bus_->CallsOf("Request")) {
      const ModbusRequest& request = call.request;
      if (request.function != 6 && request.function != 16) continue;
      for (unsigned i = 0; i < request.count; ++i) {
        touched_.push_back(static_cast<uint16_t>(request.address + i));
      }
    }
    bus_->ClearCalls();
  }

  std::vector<uint16_t> Words(std::size_t most) {
    std::vector<uint16_t> words(input_.ConsumeIntegralInRange<std::size_t>(0, most));
    for (auto& word : words) word = input_.ConsumeIntegral<uint16_t>();
    return words;
  }

  fuzz::Allowed CompletionErrors() const {
    return fuzz::Completion(fuzz::NamesTextMember(*device_));
  }

  void RefreshStatus() {
    const std::size_t pending = bus_->PendingRequests();
    int result = 0;
    fuzz::Run("RefreshStatus", {}, [&] { result = device_->RefreshStatus(); });
    Require(result == 1 && device_->step_ == 11, "RefreshStatus starts at step 11");
    const auto requests = bus_->CallsOf("Request");
    if (pending < 64) {
      Require(requests.size() == 1 && requests[0].request.function == 3 &&
                  requests[0].request.address == 0 && requests[0].request.count == 4,
              "RefreshStatus asks for holding registers 0-3");
    }
    expected_.step = 11;
  }

  // Whether an answer must reach process_payload: a decoded answer must, a failure must not,
  // and a frame or a bus run may end either way.
  enum class Reach { kMust, kMustNot, kMay };

  // One answer (or failure) through the controller. With nothing pending, nothing is delivered.
  template <class Deliver>
  void Answer(Reach reach, Deliver&& deliver) {
    const State before = Capture(*device_);
    const std::size_t batch = device_->ruleValues_.size();
    bool delivered = false;
    const bool completed =
        fuzz::Run("process_payload", CompletionErrors(), [&] { delivered = deliver(); });
    Settle(before, batch, completed, delivered ? reach : Reach::kMustNot);
  }

  // The device ends in the state predicted from the delivered words, or unchanged when the
  // answer never reached it.
  void Settle(const State& before, std::size_t batch, bool completed, Reach reach) {
    const State actual = Capture(*device_);
    const bool sent = !bus_->CallsOf("SendSP").empty();
    State predicted = Predict(before, *device_);
    if (predicted.completes) predicted.record = fuzz::StampOf(*device_, predicted.record);
    const bool reached = actual == predicted && sent == predicted.completes;
    const bool untouched = actual == before && !sent;
    if (reach == Reach::kMust) Require(reached, "an answer was not taken as its step says");
    if (reach == Reach::kMustNot) Require(untouched, "a failed exchange changed the device");
    Require(reached || untouched, "an answer left an unforeseen state");
    if (sent) CheckCompletion(batch, completed);
    expected_ = actual;
  }

  void CheckCompletion(std::size_t batch, bool completed) {
    const fuzz::RecordBytes record = fuzz::Bytes(*device_);
    const auto sent = bus_->CallsOf("SendSP");
    Require(sent.size() == 1 && sent[0].args[0] == "5156" && sent[0].args[2] == "0" &&
                sent[0].bytes.size() == record.size(),
            "one SendSP per completion, under 5156, with the whole record");
    Require(std::memcmp(sent[0].bytes.data(), record.data(), record.size()) == 0,
            "SendSP carries another record");
    Require(device_->dataReady_.load(), "a completed cycle left the data not ready");
    if (!completed) return;
    const auto saved = bus_->CallsOf("SaveDeviceHistory");
    Require(saved.size() == 1 && saved[0].bytes.size() == record.size() &&
                std::memcmp(saved[0].bytes.data(), record.data(), record.size()) == 0,
            "the history entry is not the record");
    const auto batchCall = bus_->CallsOf("DoBatchCheckThreshold");
    Require(batchCall.size() == 1 && batchCall[0].args[0] == std::to_string(batch),
            "the batch check saw another batch");
    Require(device_->ruleValues_.empty(), "the batch was not emptied");
  }

  void Unsolicited() {
    const auto table = static_cast<SPModbus::tab_type>(input_.ConsumeIntegralInRange(0, 3));
    const std::vector<uint16_t> words = Words(ModbusRequest::kMaxReadCount);
    const State before = Capture(*device_);
    const std::size_t batch = device_->ruleValues_.size();
    int result = -5;
    const bool completed = fuzz::Run("process_payload", CompletionErrors(), [&] {
      result = device_->DeliverAnswer(table, words.data(), static_cast<unsigned>(words.size()));
    });
    if (completed) {
      Require(result == Predict(before, *device_).result,
              "process_payload returned " + std::to_string(result));
    }
    Settle(before, batch, completed, Reach::kMust);
  }

  void RawFrame() {
    std::vector<unsigned char> pdu =
        input_.ConsumeBytes<unsigned char>(input_.ConsumeIntegralInRange<std::size_t>(0, 300));
    const State before = Capture(*device_);
    const std::size_t batch = device_->ruleValues_.size();
    const bool completed = fuzz::Run("process", CompletionErrors(), [&] {
      device_->process(pdu.data(), static_cast<unsigned>(pdu.size()));
    });
    Settle(before, batch, completed, Reach::kMay);
  }

  void Command() {
    static const int kCodes[] = {206, 210, 310, 320, 801, 803, 5, 1000};
    const int code = kCodes[input_.ConsumeIntegralInRange(0, 7)];
    std::string text;
    if (code == 310 || code == 320) {
      text = input_.ConsumeBool() ? R"({"signal_id":"0123456789AB"})"
                                  : input_.ConsumeRandomLengthString(64);
    } else {
      text = input_.ConsumeBytesAsString(input_.ConsumeIntegralInRange<std::size_t>(4, 16));
      text.resize(std::max<std::size_t>(text.size(), 4));
    }
    const fuzz::Buffer in(text.size());
    std::memcpy(in.data(), text.data(), text.size());
    const fuzz::Buffer out(64);
    int outlenRet = 0;
    const int previousResult = device_->writeResult_;
    fuzz::Run("DeviceIoControl", {}, [&] {
      device_->DeviceIoControl(code, in.data(), static_cast<int>(in.size()), out.data(),
                               static_cast<int>(out.size()), outlenRet);
    });
    if (code == 206 || code == 210 || code == 310 || code == 320) {
      Require(device_->step_ == code && device_->writeResult_ == -1, "command state");
      expected_.step = code;
    } else if (code != 801 && code != 803) {
      Require(std::memcmp(out.data(), &previousResult, 4) == 0, "the write outcome reported");
    }
  }

  void Cache() {
    std::vector<unsigned char> blob = input_.ConsumeBytes<unsigned char>(
        input_.ConsumeBool() ? fuzz::kRecordSize : input_.ConsumeIntegralInRange(0, 64));
    if (blob.size() < fuzz::kRecordSize && input_.ConsumeBool()) blob.resize(fuzz::kRecordSize);
    const std::size_t batch = device_->ruleValues_.size();
    int taken = -5;
    const bool completed = fuzz::Run("LoadFromCache", CompletionErrors(), [&] {
      taken = device_->LoadFromCache(blob.data(), static_cast<int>(blob.size()));
    });
    if (blob.size() != fuzz::kRecordSize) {
      Require(taken == 0 && bus_->Calls().empty(), "a blob of the wrong size was taken");
      return;
    }
    Require(!completed || taken == 1, "a blob of the record's size was refused");
    std::memcpy(expected_.record.data(), blob.data(), blob.size());
    expected_.record = fuzz::StampOf(*device_, expected_.record);
    CheckCompletion(batch, completed);
  }

  void Query() {
    const unsigned int signalId = input_.ConsumeIntegral<unsigned int>();
    fuzz::CheckValueQuery(*device_, signalId, input_.ConsumeRandomLengthString(16));
  }

  void Reconfigure() {
    Json::Value settings(Json::objectValue);
    const int mode = input_.PickValueInArray({1, 3, 5, 0, 2});
    settings["appSetting"]["b_mode"] = mode;
    if (mode == 1) WriteRuleFile();
    if (mode == 3 || mode == 5) settings["thresholdSetting"] = Thresholds();
    fuzz::Run("InitSetting", fuzz::Configuration(), [&] {
      fuzz::InWorkDir inWorkDir;
      device_->InitSetting(settings);
    });
    Require(device_->b_mode_ == mode, "the mode set is " + std::to_string(device_->b_mode_));
    const uint32_t dataId = fuzz::kDataId;
    std::memcpy(expected_.record.data(), &dataId, sizeof dataId);
  }

  std::string SignalName() {
    static const char* const kNames[] = {"温度",       "湿度",       "气压",     "温度校准值",
                                         "湿度校准值", "气压校准值", "设备地址", "波特率",
                                         "更新时间",   "未知"};
    return kNames[input_.ConsumeIntegralInRange(0, 9)];
  }

  std::string Number() {
    static const char* const kSpecial[] = {"nan", "inf", "-inf", "1e39", "", "word", "2.7"};
    if (input_.ConsumeBool()) return kSpecial[input_.ConsumeIntegralInRange(0, 6)];
    return std::to_string(input_.ConsumeFloatingPointInRange(-100000.0, 100000.0));
  }

  Json::Value Thresholds() {
    Json::Value rules(Json::objectValue);
    const int count = input_.ConsumeIntegralInRange(0, 4);
    for (int i = 0; i < count; ++i) {
      Json::Value& rule = rules["r" + std::to_string(i)];
      rule["ID"] = "T0" + std::to_string(i);
      rule["SignalName"] = SignalName();
      rule["NMAlarmID"] = "N" + std::to_string(i);
      for (const char* prefix : {"Up", "Up2", "Low", "Low2"}) {
        if (!input_.ConsumeBool()) continue;
        const std::string p = prefix;
        rule[p + "Value"] = Number();
        rule[p + "ReconverValue"] = Number();
        rule[p + "AlarmLevel"] = input_.ConsumeIntegralInRange(-1, 5);
      }
    }
    return rules;
  }

  void WriteRuleFile() {
    std::string text = "[AI]\n";
    const int count = input_.ConsumeIntegralInRange(1, 4);
    for (int i = 0; i < count; ++i) {
      text += SignalName() + " = " + input_.ConsumeRandomLengthString(14) + "\n";
    }
    text += "[ALARM]\nx = " + input_.ConsumeRandomLengthString(14) + "\n";
    fuzz::WorkDir::Instance().WriteFile("ini/12.ini", text);
  }

  void MisbehavingBus() {
    bus_->RefuseFunction(input_.PickValueInArray<uint8_t>({0, 3, 4, 6, 16}));
    bus_->SetWrongWriteEcho(input_.ConsumeBool(), input_.ConsumeIntegral<uint16_t>());
  }

  void HostState() {
    const int values = input_.ConsumeIntegralInRange(0, 3);
    for (int i = 0; i < values; ++i) device_->ruleValues_.push_back(rule_value{});
    SMDVDevice::BAOSetting setting;
    setting.absEnable = input_.ConsumeBool();
    setting.absThreshold = input_.ConsumeFloatingPoint<float>();
    setting.percentEnable = input_.ConsumeBool();
    setting.percentThreshold = input_.ConsumeFloatingPoint<float>();
    setting.periodEnable = input_.ConsumeBool();
    setting.periodMinutes = input_.ConsumeFloatingPoint<float>();
    setting.lastReportTime = input_.ConsumeIntegral<uint32_t>();
    setting.lastReportValue = input_.ConsumeFloatingPoint<float>();
    device_->baoSettings_[input_.ConsumeRandomLengthString(14)] = setting;
  }

  void SensorRegisters() {
    static const uint16_t kAddresses[] = {0, 1, 2, 3, 80, 81, 82, 2000, 2001};
    const uint16_t address = input_.PickValueInArray(kAddresses);
    const uint16_t value = input_.ConsumeIntegral<uint16_t>();
    touched_.push_back(address);
    if (input_.ConsumeBool()) {
      bus_->SetHolding(address, value);
    } else {
      bus_->SetInput(address, value);
    }
  }

  FuzzedDataProvider& input_;
  std::shared_ptr<RecordingController> bus_;
  std::unique_ptr<DeviceProbe> device_;
  State expected_;
  std::vector<uint16_t> touched_;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::SilenceStdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  Driver driver(input);
  for (int i = 0; i < 64 && input.remaining_bytes() > 0; ++i) {
    driver.Step();
    driver.Check();
  }
  driver.Finish();
  fuzz::WorkDir::Instance().RemoveFile("ini/12.ini");
  return 0;
}

#include "line/LineController.h"

#include <boost/date_time/posix_time/posix_time.hpp>

#include <chrono>
#include <exception>
#include <thread>

#include "events/RecordView.h"
#include "service/Signals.h"

namespace {

constexpr int kWriteSingleCode = 206;
constexpr int kWriteMultipleCode = 210;
constexpr int kStatusTextCode = 801;
constexpr int kMaxDocumentBytes = 1 << 20;

std::string OutcomeText(int32_t outcome) {
  switch (outcome) {
    case 1:
      return "confirmed";
    case 3:
      return "not confirmed";
    case -1:
      return "no answer";
    default:
      return "outcome " + std::to_string(outcome);
  }
}

}  // namespace

LineController::LineController(const LineConfig& config, Console& console)
    : config_(config), console_(console) {}

LineController::~LineController() = default;

HostedDevice& LineController::Add(std::unique_ptr<HostedDevice> device) {
  byDevice_[device->device] = device.get();
  devices_.push_back(std::move(device));
  return *devices_.back();
}

HostedDevice* LineController::Find(const SMDVDevice& device) {
  const auto found = byDevice_.find(&device);
  return found == byDevice_.end() ? nullptr : found->second;
}

void LineController::Guarded(HostedDevice& device, const char* operation,
                             const std::function<void()>& call) {
  try {
    call();
  } catch (const std::exception& error) {
    CountError(device, std::string(operation) + " failed: " + error.what());
  } catch (...) {
    CountError(device, std::string(operation) + " failed with an unknown exception");
  }
}

void LineController::CountError(HostedDevice& device, const std::string& what) {
  ++device.errors;
  console_.Error(device.dataId, what, device.errors);
}

void LineController::Stored(HostedDevice& device, const std::function<void(Store&)>& write) {
  if (!store_) return;
  try {
    write(*store_);
  } catch (const StoreError& error) {
    CountError(device, error.what());
  }
}

std::size_t LineController::ActiveAlarms(const HostedDevice& device) const {
  std::size_t active = 0;
  for (const auto& alarm : device.alarms) active += alarm.second ? 1 : 0;
  return active;
}

void LineController::Restore() {
  for (auto& hosted : devices_) {
    HostedDevice& device = *hosted;
    std::optional<std::vector<unsigned char>> record;
    Stored(device, [&](Store& store) {
      device.alarms = store.AlarmStates(device.dataId);
      record = store.LastRecord(device.dataId);
    });
    if (!record) continue;
    int taken = 0;
    device.replaying = true;
    Guarded(device, "LoadFromCache", [&] {
      taken = device.object->LoadFromCache(record->data(), static_cast<int>(record->size()));
    });
    device.replaying = false;
    if (taken != 1) {
      console_.Notice("device " + std::to_string(device.dataId) +
                      " refused its last stored record");
    }
  }
}

void LineController::Run(long rounds) {
  const auto interval = std::chrono::milliseconds(config_.pollIntervalMs);
  auto next = std::chrono::steady_clock::now();
  for (long done = 0; rounds == 0 || done < rounds; ++done) {
    if (WaitForStopUntil(next)) return;
    // A round that overran its interval is followed at once, without trying to catch up.
    next = std::max(next + interval, std::chrono::steady_clock::now());
    PollRound();
  }
}

void LineController::PollRound() {
  for (auto& device : devices_) {
    if (StopRequested()) return;
    PollDevice(*device);
  }
}

void LineController::PollDevice(HostedDevice& device) {
  Stored(device, [](Store& store) { store.Begin(); });
  Guarded(device, "RefreshStatus", [&] { device.modbus->RefreshStatus(); });
  RunQueue();
  Stored(device, [](Store& store) { store.Commit(); });
}

void LineController::WaitForNextSecond(const HostedDevice& device) {
  using boost::posix_time::second_clock;
  const boost::posix_time::ptime last = device.object->DataTime();
  if (last.is_special()) return;
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
  while (second_clock::local_time() <= last && std::chrono::steady_clock::now() < giveUp) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

void LineController::RunQueue() {
  // A device that keeps asking (a faulty plug-in) cannot hold the line for ever.
  for (int run = 0; run < kMaxExchangesPerRun && !queue_.empty(); ++run) {
    const Pending pending = queue_.front();
    queue_.pop_front();
    RunExchange(pending);
  }
  queue_.clear();
}

void LineController::RunExchange(const Pending& pending) {
  HostedDevice& device = *pending.device;
  const ModbusRequest& request = pending.request;
  const Exchange exchange = line_->Perform(device.slave, request);
  if (!exchange.answered) {
    CountError(device, Describe(request) + ": " + exchange.error);
    Guarded(device, "on_error", [&] { device.modbus->DeliverFailure(); });
    return;
  }
  if (request.function == ModbusRequest::kReadHolding ||
      request.function == ModbusRequest::kReadInput) {
    const auto table = request.function == ModbusRequest::kReadHolding ? SPModbus::HOLDING_REGISTER
                                                                       : SPModbus::INPUT_REGISTER;
    std::vector<uint16_t> registers = exchange.registers;
    Guarded(device, "process_payload", [&] {
      device.modbus->DeliverAnswer(table, registers.data(),
                                   static_cast<unsigned int>(registers.size()));
    });
    return;
  }
  // A write answer goes through the device's own decoding of the echo.
  std::vector<uint8_t> pdu = exchange.pdu;
  Guarded(device, "process",
          [&] { device.modbus->process(pdu.data(), static_cast<unsigned int>(pdu.size())); });
}

std::string LineController::WriteRegisters(HostedDevice& device, uint16_t address,
                                           const std::vector<uint16_t>& values) {
  std::vector<uint16_t> words{address};
  words.insert(words.end(), values.begin(), values.end());
  const int code = values.size() == 1 ? kWriteSingleCode : kWriteMultipleCode;
  Guarded(device, "DeviceIoControl", [&] {
    int answered = 0;
    device.object->DeviceIoControl(code, words.data(), static_cast<int>(words.size() * 2), nullptr,
                                   0, answered);
  });
  Stored(device, [](Store& store) { store.Begin(); });
  RunQueue();
  Stored(device, [](Store& store) { store.Commit(); });
  int32_t outcome = -1;
  int length = 0;
  Guarded(device, "DeviceIoControl", [&] {
    device.object->DeviceIoControl(kWriteOutcomeQuery, nullptr, 0, &outcome, sizeof outcome,
                                   length);
  });
  const std::string text = length == sizeof outcome ? OutcomeText(outcome) : "no outcome given";
  console_.WriteOutcome(device.dataId, address, values, text);
  return text;
}

std::optional<std::string> LineController::StatusDocument(HostedDevice& device) {
  std::optional<std::string> document;
  Guarded(device, "DeviceIoControl", [&] {
    char none = 0;
    int needed = 0;
    if (device.object->DeviceIoControl(kStatusTextCode, nullptr, 0, &none, 0, needed) == 0) {
      document = std::string();
      return;
    }
    if (needed <= 0 || needed > kMaxDocumentBytes) return;
    std::string text(static_cast<std::size_t>(needed), '\0');
    int length = 0;
    if (device.object->DeviceIoControl(kStatusTextCode, nullptr, 0, text.data(), needed, length) !=
            0 ||
        length < 0 || length > needed) {
      return;
    }
    text.resize(static_cast<std::size_t>(length));
    document = text;
  });
  return document;
}

void LineController::PrintSummaries() {
  for (const auto& device : devices_) {
    console_.Summary(device->dataId, device->cycles, device->errors);
  }
}

int LineController::SubmitRequest(SPModbus& device, const ModbusRequest& request) {
  HostedDevice* hosted = Find(device);
  if (hosted == nullptr || queue_.size() >= kMaxQueued) return -1;
  queue_.push_back({hosted, request});
  return 0;
}

int LineController::SendSP(SMDVDevice& device, int code, const unsigned char* data,
                           unsigned int length, bool flag) {
  (void)flag;
  HostedDevice* hosted = Find(device);
  if (hosted == nullptr || data == nullptr) return -1;
  // Loading a stored record back re-sends it with a new time stamp; nothing new to keep.
  if (hosted->replaying) return 0;
  Stored(*hosted,
         [&](Store& store) { store.PutLastRecord(hosted->dataId, code, NowText(), data, length); });
  return 0;
}

int LineController::CheckThreshold(SMDVDevice& device, const std::string& alarmId,
                                   const std::string& name, float value, int kind) {
  HostedDevice* hosted = Find(device);
  if (hosted == nullptr) return 0;
  Stored(*hosted, [&](Store& store) {
    store.AddThresholdValue(hosted->dataId, NowText(), alarmId, name, value, kind);
  });
  return 0;
}

int LineController::CheckThresholdBool(SMDVDevice& device, int level, const std::string& signalName,
                                       const std::string& alarmId, const std::string& valueText,
                                       const std::string& alarmText, bool active,
                                       unsigned short kind) {
  (void)kind;
  HostedDevice* hosted = Find(device);
  if (hosted == nullptr) return 0;
  // The device reports every rule every cycle; only a change of the active flag is an event.
  bool& known = hosted->alarms[alarmId];
  if (known == active) return 0;
  known = active;
  AlarmEvent event{hosted->dataId, NowText(), alarmId,   signalName,
                   level,          active,    valueText, alarmText};
  Stored(*hosted, [&](Store& store) { store.AddAlarmEvent(event); });
  console_.Alarm(event);
  return 0;
}

int LineController::CheckAOReport(SMDVDevice& device, const std::string& signalId, float value) {
  HostedDevice* hosted = Find(device);
  if (hosted == nullptr) return 0;
  Stored(*hosted,
         [&](Store& store) { store.AddReport(hosted->dataId, NowText(), signalId, value); });
  console_.Report(hosted->dataId, signalId, value);
  return 1;
}

bool LineController::DoBatchCheckThreshold(SMDVDevice& device,
                                           const std::vector<rule_value>& ruleValues) {
  // The reference host adds no batch rules of its own, so no batch ever raises an alarm.
  (void)device;
  (void)ruleValues;
  return false;
}

int LineController::SaveDeviceHistory(SMDVDevice& device, const unsigned char* data,
                                      unsigned int length) {
  HostedDevice* hosted = Find(device);
  if (hosted == nullptr || data == nullptr) return -1;
  const auto values = DecodeRecord(data, length);
  if (hosted->replaying) {
    console_.Restored(hosted->dataId, values);
    return 0;
  }
  Stored(*hosted, [&](Store& store) { store.AddHistory(hosted->dataId, NowText(), data, length); });
  ++hosted->cycles;
  console_.Cycle(hosted->dataId, values, ActiveAlarms(*hosted));
  return 0;
}

int LineController::OpenPort(SMDSPDevice& device) {
  // The host opened the line before the first device ran and keeps it open.
  (void)device;
  return line_ ? 0 : -1;
}

int LineController::ClosePort(SMDSPDevice& device) {
  (void)device;
  return 0;
}

int LineController::SendData(SMDSPDevice& device, const unsigned char* data, unsigned int length,
                             EnumParity parity) {
  (void)device;
  (void)parity;  // the line keeps the parity it was opened with
  return line_ ? line_->SendRaw(data, length) : -1;
}

int LineController::DeviceIoControl(SMDVDevice& device, int code, const void* in, int inlen,
                                    void* out, int outlen, int& outlenRet) {
  (void)device;
  (void)in;
  (void)inlen;
  (void)out;
  (void)outlen;
  (void)outlenRet;
  // The outcome query is answered by the device itself before it reaches the host.
  return code == kWriteOutcomeQuery ? 0 : -1;
}

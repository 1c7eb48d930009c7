// SPDX-License-Identifier: Apache-2.0
#include "line/LineController.h"

#include <algorithm>

#include "base/Signals.h"
#include "events/Clock.h"
#include "events/EventFormat.h"
#include "line/DeviceReports.h"
#include "line/WriteOutcome.h"

namespace {

constexpr std::chrono::milliseconds kIdleSlice{25};

bool IsRead(const ModbusRequest& request) {
  return request.function == ModbusRequest::kReadHolding ||
         request.function == ModbusRequest::kReadInput;
}

}  // namespace

LineController::LineController(const LineConfig& config)
    : port_(config, [this](const std::string& text) { events_.Emit(NoticeEvent{text}); }) {}

LineController::~LineController() = default;

void LineController::Run(long rounds) {
  const auto interval = std::chrono::milliseconds(port_.Config().pollIntervalMs);
  auto next = std::chrono::steady_clock::now();
  for (long done = 0; (rounds == 0 || done < rounds) && !stopping_;) {
    switch (WaitUntil(std::min(next, port_.ReopenDue()), jobs_.WakeDescriptor())) {
      case WakeReason::kStop:
        return;
      case WakeReason::kReadable:
        jobs_.RunAll();
        continue;
      case WakeReason::kDeadline:
        break;
    }
    port_.ReopenIfDue(std::chrono::steady_clock::now());
    if (std::chrono::steady_clock::now() < next) continue;
    // A round that overran its interval is followed at once, without trying to catch up.
    next = std::max(next + interval, std::chrono::steady_clock::now());
    PollRound();
    ++done;
    // A round that left no time before the next (back to back, or one that overran its
    // interval: a slow line, a loaded machine) is followed by a short slice for the rollups and
    // retention, so that a line busy all the time still keeps its history in order.
    const auto now = std::chrono::steady_clock::now();
    const auto idleUntil = next > now ? next : now + kIdleSlice;
    if (idleWork_ && !StopRequested()) idleWork_(idleUntil);
  }
}

void LineController::ServeJobs() {
  while (!stopping_) {
    const auto later = std::chrono::steady_clock::now() + std::chrono::hours(1);
    if (WaitUntil(later, jobs_.WakeDescriptor()) == WakeReason::kStop) return;
    jobs_.RunAll();
  }
}

void LineController::Stop() {
  stopping_ = true;
  // Wakes the wait; a line that stopped already takes no job and needs no waking.
  jobs_.Post([] {});
}

void LineController::Close() {
  // Commands that arrived during the last round still get their answer.
  jobs_.Close();
  progress_.Close();
}

void LineController::PollRound() {
  roundWire_.Clear();
  bool everyDeviceCompleted = true;
  for (auto& device : devices_) {
    if (StopRequested()) return;
    const unsigned long before = device->cycles;
    PollDevice(*device);
    everyDeviceCompleted = everyDeviceCompleted && device->cycles > before;
    jobs_.RunAll();
  }
  TellRoundWire(everyDeviceCompleted);
}

void LineController::TellRoundWire(bool everyDeviceCompleted) {
  if (roundWireTold_ || !everyDeviceCompleted) return;
  roundWireTold_ = true;
  events_.Emit(NoticeEvent{"line " + Config().device + ": " +
                           roundWire_.Describe(Config(), devices_.size())});
  events_.Flush();
}

void LineController::PollDevice(HostedDevice& device) {
  // While the serial device is gone, a device whose link is reported lost already is not asked:
  // each exchange would fail at once, and an error every round would tell nothing new.
  if (port_.Missing() && device.link.Lost()) {
    ++device.failedPolls;
    TrackLink(device, false);
    return;
  }
  const unsigned long before = device.cycles;
  GuardDeviceCall(device, events_, "RefreshStatus", [&] { device.modbus->RefreshStatus(); });
  const int exchanges = RunQueue();
  const bool completed = device.cycles > before;
  // A stop that came before the round's first request went out ended no poll: the sensor never
  // saw one, and the link was not tried.
  if (!completed && exchanges == 0 && StopRequested()) return;
  if (!completed) ++device.failedPolls;
  TrackLink(device, completed);
  events_.Flush();
}

void LineController::TrackLink(HostedDevice& device, bool completed) {
  const LinkNews news = device.link.Track(completed, clock_(),
                                          static_cast<unsigned long>(port_.Config().linkLostAfter));
  if (news.restored) events_.Emit(LinkEvent{device.dataId, false, news.failedCycles, {}});
  if (news.stillLostHours) {
    events_.Emit(
        NoticeEvent{LinkStillLostText(device.dataId, *news.stillLostHours, news.failedCycles)});
  }
  if (news.lost) {
    events_.Emit(LinkEvent{device.dataId, true, news.failedCycles, device.link.LastFailure()});
  }
}

int LineController::RunQueue() {
  // A device that keeps asking (a faulty plug-in) cannot hold the line for ever, and a stop
  // request ends the cycle after the exchange in flight.
  int run = 0;
  for (; run < kMaxExchangesPerRun && !queue_.empty() && !StopRequested(); ++run) {
    const Pending pending = queue_.front();
    queue_.pop_front();
    RunExchange(pending);
  }
  queue_.clear();
  return run;
}

void LineController::RunExchange(const Pending& pending) {
  HostedDevice& device = *pending.device;
  const ModbusRequest& request = pending.request;
  const Exchange exchange = port_.Perform(device.slave, request);
  roundWire_.Count(request, exchange);
  if (!IsRead(request)) {
    lastWrite_ = exchange;
    lastWriteRequest_ = request;
  }
  if (!exchange.answered) {
    CountDeviceError(device, events_, Describe(request) + ": " + exchange.error);
    GuardDeviceCall(device, events_, "on_error", [&] { device.modbus->DeliverFailure(); });
    return;
  }
  if (IsRead(request)) {
    const auto table = request.function == ModbusRequest::kReadHolding ? SPModbus::HOLDING_REGISTER
                                                                       : SPModbus::INPUT_REGISTER;
    std::vector<uint16_t> registers = exchange.registers;
    GuardDeviceCall(device, events_, "process_payload", [&] {
      device.modbus->DeliverAnswer(table, registers.data(),
                                   static_cast<unsigned int>(registers.size()));
    });
    return;
  }
  // A write answer goes through the device's own decoding of the echo.
  std::vector<uint8_t> pdu = exchange.pdu;
  GuardDeviceCall(device, events_, "process", [&] {
    device.modbus->process(pdu.data(), static_cast<unsigned int>(pdu.size()));
  });
}

WriteResult LineController::WriteRegisters(HostedDevice& device, uint16_t address,
                                           const std::vector<uint16_t>& values,
                                           const std::vector<int>& typed) {
  if (device.type == nullptr || !device.type->profile) {
    const WriteResult refused{"not done: the host knows no register writes of this device's type",
                              kExitNotDone};
    events_.Emit(WriteEvent{device.dataId, address, values, refused.outcome, typed});
    events_.Flush();
    return refused;
  }
  const WriteOutcomeCodes& codes = device.type->profile->writeOutcome;
  std::vector<uint16_t> words{address};
  words.insert(words.end(), values.begin(), values.end());
  const int code = values.size() == 1 ? codes.writeSingle : codes.writeMultiple;
  lastWrite_.reset();
  lastWriteRequest_.reset();
  GuardDeviceCall(device, events_, "DeviceIoControl", [&] {
    int answered = 0;
    device.object->DeviceIoControl(code, words.data(), static_cast<int>(words.size() * 2), nullptr,
                                   0, answered);
  });
  RunQueue();
  int32_t outcome = codes.pending;
  int length = 0;
  GuardDeviceCall(device, events_, "DeviceIoControl", [&] {
    device.object->DeviceIoControl(codes.query, nullptr, 0, &outcome, sizeof outcome, length);
  });
  const WriteResult result =
      length == sizeof outcome
          ? DescribeWriteOutcome(codes, outcome, lastWriteRequest_ ? &*lastWriteRequest_ : nullptr,
                                 lastWrite_ ? &*lastWrite_ : nullptr)
          : WriteResult{"no outcome given", kExitNoAnswer};
  events_.Emit(WriteEvent{device.dataId, address, values, result.outcome, typed});
  events_.Flush();
  return result;
}

// SPDX-License-Identifier: Apache-2.0
#include "line/DeviceReports.h"

#include <boost/date_time/posix_time/posix_time.hpp>

#include <chrono>
#include <exception>
#include <optional>
#include <thread>

#include "events/DeviceTypes.h"

namespace {

constexpr int kMaxDocumentBytes = 1 << 20;

std::optional<std::string> StatusDocument(HostedDevice& device, EventFanout& events) {
  std::optional<std::string> document;
  if (device.type == nullptr || !device.type->profile) return document;
  const int statusText = device.type->profile->statusText;
  GuardDeviceCall(device, events, "DeviceIoControl", [&] {
    char none = 0;
    int needed = 0;
    if (device.object->DeviceIoControl(statusText, nullptr, 0, &none, 0, needed) == 0) {
      document = std::string();
      return;
    }
    if (needed <= 0 || needed > kMaxDocumentBytes) return;
    std::string text(static_cast<std::size_t>(needed), '\0');
    int length = 0;
    if (device.object->DeviceIoControl(statusText, nullptr, 0, text.data(), needed, length) != 0 ||
        length < 0 || length > needed) {
      return;
    }
    text.resize(static_cast<std::size_t>(length));
    document = text;
  });
  return document;
}

}  // namespace

void CountDeviceError(HostedDevice& device, EventFanout& events, const std::string& what,
                      bool fromStore) {
  ++device.errors;
  if (!fromStore) device.link.NoteFailure(what);
  // Once the link is lost every cycle fails the same way: the store counts them, the console
  // hears of them once an hour (LinkHealth).
  events.Emit(ErrorEvent{device.dataId, what, device.errors, fromStore, device.link.Lost()});
}

void GuardDeviceCall(HostedDevice& device, EventFanout& events, const char* operation,
                     const std::function<void()>& call) {
  try {
    call();
  } catch (const std::exception& error) {
    CountDeviceError(device, events, std::string(operation) + " failed: " + error.what());
  } catch (...) {
    CountDeviceError(device, events, std::string(operation) + " failed with an unknown exception");
  }
}

// Only the failures the store sink reports arrive here (the first, then at most one a minute),
// so a full disk adds one error a minute to the device's count, not one a cycle.
void CountStoreFailure(const LineDevices& devices, EventFanout& events, uint32_t dataId,
                       const std::string& what) {
  HostedDevice* device = devices.Find(dataId);
  if (device == nullptr && !devices.empty()) device = devices.begin()->get();
  if (device != nullptr) CountDeviceError(*device, events, what, true);
}

bool EmitStatus(HostedDevice& device, EventFanout& events) {
  StatusEvent status;
  status.dataId = device.dataId;
  status.answered = device.cycles > 0 && device.link.FailedCycles() == 0;
  if (!status.answered) {
    const std::string& failure = device.link.LastFailure();
    status.failure = failure.empty() ? "no poll cycle completed yet" : failure;
    status.storedAt = device.recordStoredAt;
  }
  // A device that never completed a cycle nor had a record restored has no document worth
  // showing: it would hold zeros.
  if (device.cycles > 0 || !device.recordStoredAt.empty())
    status.document = StatusDocument(device, events);
  events.Emit(status);
  return status.answered;
}

void EmitActiveAlarms(const HostedDevice& device, EventFanout& events) {
  ActiveAlarmsEvent event;
  event.dataId = device.dataId;
  event.active = device.alarms.Active();
  events.Emit(event);
}

void EmitSummaries(const LineDevices& devices, EventFanout& events) {
  for (const auto& device : devices) {
    events.Emit(SummaryEvent{device->dataId, device->cycles, device->errors, device->failedPolls});
  }
}

void WaitForNextSecond(const HostedDevice& device) {
  using boost::posix_time::second_clock;
  const boost::posix_time::ptime last = device.object->DataTime();
  if (last.is_special()) return;
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
  while (second_clock::local_time() <= last && std::chrono::steady_clock::now() < giveUp) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

// SPDX-License-Identifier: Apache-2.0
#include "line/DeviceRestore.h"

#include "line/DeviceReports.h"

void RestoreDevices(const LineDevices& devices, EventFanout& events, const RestoredStates& states) {
  for (const auto& hosted : devices) {
    HostedDevice& device = *hosted;
    const auto found = states.find(device.dataId);
    if (found == states.end()) continue;
    const RestoredState& state = found->second;
    device.alarms.Restore(state.alarms);
    if (!state.failure.empty()) CountDeviceError(device, events, state.failure, true);
    const std::optional<StoredRecord>& stored = state.record;
    if (!stored) continue;
    device.recordStoredAt = stored->time;
    int taken = 0;
    device.replaying = true;
    GuardDeviceCall(device, events, "LoadFromCache", [&] {
      taken = device.object->LoadFromCache(stored->record.data(),
                                           static_cast<int>(stored->record.size()));
    });
    device.replaying = false;
    if (taken != 1) {
      events.Emit(NoticeEvent{"device " + std::to_string(device.dataId) +
                              " refused its last stored record"});
    }
  }
}

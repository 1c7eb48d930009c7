// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "events/EventFanout.h"
#include "line/HostedDevice.h"
#include "line/LineDevices.h"

// What the line tells of its devices besides their cycles: errors counted on a device, its
// status document, its active alarms and its counts. On the line's thread.

// Counts an error of the device and emits it. A failure of the store (`fromStore`) is not the
// link's: the status goes on naming the line's last failure.
void CountDeviceError(HostedDevice& device, EventFanout& events, const std::string& what,
                      bool fromStore = false);
// Runs a device operation; whatever it throws is counted as an error of that device.
void GuardDeviceCall(HostedDevice& device, EventFanout& events, const char* operation,
                     const std::function<void()>& call);
// A store failure its sink let through (the first, then at most one a minute), counted as an
// error of the device it concerns (the line's first device when it concerns none).
void CountStoreFailure(const LineDevices& devices, EventFanout& events, uint32_t dataId,
                       const std::string& what);
// Emits the device's status document, or why it has no fresh one; false when it has none.
bool EmitStatus(HostedDevice& device, EventFanout& events);
void EmitActiveAlarms(const HostedDevice& device, EventFanout& events);
void EmitSummaries(const LineDevices& devices, EventFanout& events);
// A device rebuilds its status document only when its data time has moved to another
// second; a cycle that must show up there waits for the next second first.
void WaitForNextSecond(const HostedDevice& device);

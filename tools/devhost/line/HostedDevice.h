// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "events/Event.h"
#include "host/SMDVDevice.h"
#include "host/SPModbus.h"
#include "host/VDeviceInterface.h"
#include "line/AlarmBook.h"
#include "line/LinkHealth.h"

// One device the host runs: the object a plug-in made, its place on the line and what the host
// keeps about it. Only the line's thread touches it.
struct HostedDevice {
  std::unique_ptr<VDeviceInterface> object;  // destroyed through its virtual destructor
  SMDVDevice* device = nullptr;
  SPModbus* modbus = nullptr;
  // How the host shows the device's records (events/DeviceTypes.h): the type its plug-in made it
  // as, nullptr for a type the host does not know.
  const DeviceType* type = nullptr;
  uint32_t dataId = 0;
  int slave = 1;
  unsigned long cycles = 0;
  unsigned long errors = 0;
  // Every poll of the device either completes a cycle or counts here: together they account
  // for every round.
  unsigned long failedPolls = 0;
  bool replaying = false;  // a stored record is being loaded back
  AlarmBook alarms;
  LinkHealth link;
  std::string recordStoredAt;  // when the record the device holds now was stored
};

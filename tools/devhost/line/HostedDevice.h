// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "events/Event.h"
#include "host/SMDVDevice.h"
#include "host/SPModbus.h"
#include "host/VDeviceInterface.h"
#include "line/AlarmRecovery.h"

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
  std::map<std::string, AlarmEvent> alarms;       // the last change of each alarm
  std::set<std::string> announced;                // the rules evaluated in this run
  bool replaying = false;                         // a stored record is being loaded back
  std::map<std::string, AlarmRecovery> recovery;  // from the device's settings
  // Alarms restored active that the device has not reported active since: whether the host
  // said it keeps one active.
  std::map<std::string, bool> unconfirmed;

  // The link: consecutive poll cycles that did not complete, and whether that counts as lost.
  unsigned long failedCycles = 0;
  bool linkLost = false;
  std::chrono::steady_clock::time_point lostAt;    // when the link counted as lost
  std::chrono::steady_clock::time_point remindAt;  // when the next "still lost" line is due
  std::string lastFailure;
  std::string recordStoredAt;  // when the record the device holds now was stored
};

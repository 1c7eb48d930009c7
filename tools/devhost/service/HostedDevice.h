#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "host/SMDVDevice.h"
#include "host/SPModbus.h"
#include "host/VDeviceInterface.h"

// One device the host runs: the object a plug-in made, its place on the line and what the host
// keeps about it.
struct HostedDevice {
  std::unique_ptr<VDeviceInterface> object;  // destroyed through its virtual destructor
  SMDVDevice* device = nullptr;
  SPModbus* modbus = nullptr;
  uint32_t dataId = 0;
  int slave = 1;
  unsigned long cycles = 0;
  unsigned long errors = 0;
  std::map<std::string, bool> alarms;  // alarm identifier -> active, as last reported
  bool replaying = false;              // a stored record is being loaded back
};

// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "line/HostedDevice.h"

// The devices on one line, in the order they are polled, found by data id (commands) or by the
// plug-in's object (what a device asks of its host).
class LineDevices {
 public:
  using List = std::vector<std::unique_ptr<HostedDevice>>;

  HostedDevice& Add(std::unique_ptr<HostedDevice> device);
  // The first device with the data id; nullptr when the line has none.
  HostedDevice* Find(uint32_t dataId) const;
  HostedDevice* Find(const SMDVDevice& device) const;
  List::const_iterator begin() const { return devices_.begin(); }
  List::const_iterator end() const { return devices_.end(); }
  std::size_t size() const { return devices_.size(); }
  bool empty() const { return devices_.empty(); }

 private:
  List devices_;
  std::map<const SMDVDevice*, HostedDevice*> byDevice_;
};

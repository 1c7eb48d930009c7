// SPDX-License-Identifier: Apache-2.0
#include "line/LineDevices.h"

HostedDevice& LineDevices::Add(std::unique_ptr<HostedDevice> device) {
  byDevice_[device->device] = device.get();
  devices_.push_back(std::move(device));
  return *devices_.back();
}

HostedDevice* LineDevices::Find(uint32_t dataId) const {
  for (const auto& device : devices_) {
    if (device->dataId == dataId) return device.get();
  }
  return nullptr;
}

HostedDevice* LineDevices::Find(const SMDVDevice& device) const {
  const auto found = byDevice_.find(&device);
  return found == byDevice_.end() ? nullptr : found->second;
}

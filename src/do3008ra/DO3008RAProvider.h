// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <memory>
#include <vector>

#include "host/Provider.h"

class DO3008RAProvider : public SMDSPDeviceProvider {
 public:
  ~DO3008RAProvider() override;
  VDeviceInterface* create() const override;
};

extern "C" __attribute__((visibility("default"))) std::vector<std::shared_ptr<Provider>>
get_providers();

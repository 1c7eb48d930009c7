// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <memory>
#include <vector>

#include "host/host_api.h"

class VDeviceInterface;

// Manufactures devices of one type. The caller owns every device it creates.
class HOST_API Provider {
 public:
  virtual ~Provider();
  virtual VDeviceInterface* create() const = 0;
};

class HOST_API SMDSPDeviceProvider : public Provider {
 public:
  ~SMDSPDeviceProvider() override;
};

// Signature of the entry point every device plug-in exports under the name "get_providers".
using GetProvidersFn = std::vector<std::shared_ptr<Provider>> (*)();

// SPDX-License-Identifier: Apache-2.0
#include "do3008ra/DO3008RAProvider.h"

#include "do3008ra/DO3008RA.h"

DO3008RAProvider::~DO3008RAProvider() = default;

VDeviceInterface* DO3008RAProvider::create() const { return new DO3008RA(); }

std::vector<std::shared_ptr<Provider>> get_providers() {
  return {std::make_shared<DO3008RAProvider>()};
}

// SPDX-License-Identifier: Apache-2.0
#include "host/Provider.h"

#include "host/SMDController.h"

Provider::~Provider() = default;
SMDSPDeviceProvider::~SMDSPDeviceProvider() = default;
SMDController::~SMDController() = default;

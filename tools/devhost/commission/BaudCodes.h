// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>
#include <vector>

#include "events/DeviceProfile.h"

// The speeds a model's bus profile takes, for the commissioning commands.

// Every speed the model can be set to, in the order a scan tries them: the factory speed first,
// then the others from the fastest down.
std::vector<int> BaudsInScanOrder(const BusProfile& bus);
// "1200, 2400, ..., 115200", for messages.
std::string BaudList(const BusProfile& bus);

// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "do3008ra/sensor_facts.h"

// The sensor's baud-rate codes, as register 2001 holds them (do3008ra::kBaudRates), for the
// commissioning commands. do3008ra::BaudOfCode gives the speed of a code.

// The code of a speed; nothing for a speed the sensor cannot be set to.
std::optional<uint16_t> SensorCodeOfBaud(int baud);
// Every speed the sensor can be set to, in the order a scan tries them: 9600 first (the speed
// sensors leave the factory with), then the others from the fastest down.
const std::vector<int>& SensorBaudsInScanOrder();
// "1200, 2400, ..., 115200", for messages.
std::string SensorBaudList();

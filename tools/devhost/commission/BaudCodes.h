#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The sensor's baud-rate codes, as register 2001 holds them: 0 = 2400 ... 6 = 115200, 7 = 1200.

// The speed of a code in baud; 0 for a value that is no code.
int BaudOfSensorCode(uint16_t code);
std::optional<uint16_t> SensorCodeOfBaud(int baud);
// Every speed the sensor can be set to, in the order a scan tries them: 9600 first (the speed
// sensors leave the factory with), then the others from the fastest down.
const std::vector<int>& SensorBaudsInScanOrder();
// "1200, 2400, ..., 115200", for messages.
std::string SensorBaudList();

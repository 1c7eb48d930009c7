// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Modbus-RTU answer frames built by hand, for the answers libmodbus would never send: a wrong
// echo and a frame whose CRC is deliberately broken.
namespace rtu {

// CRC-16 of Modbus-RTU (polynomial 0xA001 reflected, start 0xFFFF).
uint16_t Crc16(const uint8_t* data, std::size_t length);

// The frame body (slave, function, data) followed by its CRC, low byte first; with `corrupt` the
// CRC is inverted so that every receiver must reject the frame.
std::vector<uint8_t> WithCrc(std::vector<uint8_t> body, bool corrupt);

// Bodies without CRC.
std::vector<uint8_t> ReadAnswer(uint8_t slave, uint8_t function,
                                const std::vector<uint16_t>& registers);
std::vector<uint8_t> WriteEcho(uint8_t slave, uint8_t function, uint16_t address,
                               uint16_t valueOrCount);

}  // namespace rtu

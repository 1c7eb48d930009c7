// SPDX-License-Identifier: Apache-2.0
#include "RtuFrame.h"

namespace rtu {

namespace {

void PushWord(std::vector<uint8_t>& frame, uint16_t word) {
  frame.push_back(static_cast<uint8_t>(word >> 8));
  frame.push_back(static_cast<uint8_t>(word & 0xFF));
}

}  // namespace

uint16_t Crc16(const uint8_t* data, std::size_t length) {
  uint16_t crc = 0xFFFF;
  for (std::size_t i = 0; i < length; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) {
      crc =
          (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
    }
  }
  return crc;
}

std::vector<uint8_t> WithCrc(std::vector<uint8_t> body, bool corrupt) {
  uint16_t crc = Crc16(body.data(), body.size());
  if (corrupt) crc = static_cast<uint16_t>(~crc);
  body.push_back(static_cast<uint8_t>(crc & 0xFF));
  body.push_back(static_cast<uint8_t>(crc >> 8));
  return body;
}

std::vector<uint8_t> ReadAnswer(uint8_t slave, uint8_t function,
                                const std::vector<uint16_t>& registers) {
  std::vector<uint8_t> body{slave, function, static_cast<uint8_t>(registers.size() * 2)};
  for (uint16_t word : registers) PushWord(body, word);
  return body;
}

std::vector<uint8_t> WriteEcho(uint8_t slave, uint8_t function, uint16_t address,
                               uint16_t valueOrCount) {
  std::vector<uint8_t> body{slave, function};
  PushWord(body, address);
  PushWord(body, valueOrCount);
  return body;
}

}  // namespace rtu

// SPDX-License-Identifier: Apache-2.0
#include <array>
#include <cstddef>
#include <cstring>
#include <exception>
#include <iostream>
#include <mutex>
#include <string>

#include <json/reader.h>
#include <json/writer.h>

#include "do3008ra/DO3008RA.h"
#include "host/ModbusRequest.h"

namespace {

// Caller buffers are described by an int; a negative size or a missing buffer holds nothing.
bool BufferHolds(const void* buffer, int size, std::size_t needed) {
  return buffer != nullptr && size >= 0 && static_cast<std::size_t>(size) >= needed;
}

// Word `index` of a command input in the host's byte order; the input may be unaligned.
uint16_t WordAt(const void* in, int index) {
  uint16_t word;
  std::memcpy(&word, static_cast<const unsigned char*>(in) + 2 * index, sizeof word);
  return word;
}

// Any failure of the reader, including its refusal of deeply nested text (which it reports by
// throwing), is a parse failure: an exception must not leave the command entry.
bool ParsesAsJson(const void* in, int inlen) {
  if (in == nullptr || inlen <= 0) return false;
  const char* text = static_cast<const char*>(in);
  try {
    Json::Reader reader;
    Json::Value root;
    return reader.parse(text, text + inlen, root, false);
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace

int DO3008RA::DeviceIoControl(int code, const void* in, int inlen, void* out, int outlen,
                              int& outlenRet) {
  std::cout << "DO3008RA::DeviceIoControl " << code << std::endl;
  switch (code) {
    case kWriteRegister:
      return WriteRegister(in, inlen);
    case kWriteRegisters:
      return WriteRegisters(in, inlen);
    case kSignalCommand:
    case kSignalCommandInMode:
      return SignalCommand(code, in, inlen, out, outlen, outlenRet);
    case kStatusText:
      return StatusText(out, outlen, outlenRet);
    case kStatusAddress:
      return StatusAddress(out, outlen, outlenRet);
    default:
      return ReportWriteResult(code, in, inlen, out, outlen, outlenRet);
  }
}

// Input: register address, value. Refused before anything changes when the two words are not
// all there.
int DO3008RA::WriteRegister(const void* in, int inlen) {
  if (in == nullptr || inlen < 4) return -1;
  const uint16_t address = WordAt(in, 0);
  const uint16_t value = WordAt(in, 1);
  step_ = kWriteRegister;
  writeResult_ = kWritePending;
  OpenPort();
  writeExpect_ = value;
  modbus_write_register(address, value);
  return 0;
}

// Input: start address, then the values. Refused before anything changes unless it carries a
// register count that one Modbus write can take.
int DO3008RA::WriteRegisters(const void* in, int inlen) {
  if (in == nullptr || inlen < 4) return -1;
  const int count = inlen / 2 - 1;
  if (count > static_cast<int>(ModbusRequest::kMaxWriteCount)) return -1;
  const uint16_t address = WordAt(in, 0);
  std::array<uint16_t, ModbusRequest::kMaxWriteCount> values;
  std::memcpy(values.data(), static_cast<const unsigned char*>(in) + 2,
              static_cast<std::size_t>(count) * sizeof(uint16_t));
  step_ = kWriteRegisters;
  writeResult_ = kWritePending;
  OpenPort();
  writeExpect_ = count;
  modbus_write_registers(address, count, values.data());
  return 0;
}

// The text is checked here (always for 310, outside mode 1 for 320); the host carries it out.
int DO3008RA::SignalCommand(int code, const void* in, int inlen, void* out, int outlen,
                            int& outlenRet) {
  step_ = code;
  writeResult_ = kWritePending;
  OpenPort();
  const bool checked = code == kSignalCommand || b_mode_ != 1;
  if (checked && !ParsesAsJson(in, inlen)) return -1;
  return SMDVDevice::DeviceIoControl(code, in, inlen, out, outlen, outlenRet);
}

// Compact JSON text without terminator. The text is made under the document's lock so that a
// rebuild on another thread cannot change the document while it is written.
int DO3008RA::StatusText(void* out, int outlen, int& outlenRet) {
  GenJsonData();
  std::string text;
  {
    std::lock_guard<std::mutex> lock(jsonMutex_);
    text = Json::FastWriter().write(jsonData_);
  }
  outlenRet = static_cast<int>(text.size());
  if (!BufferHolds(out, outlen, text.size())) return -1;
  std::memcpy(out, text.data(), text.size());
  return 0;
}

// The document's address, one pointer; it stays valid as long as the device lives.
int DO3008RA::StatusAddress(void* out, int outlen, int& outlenRet) {
  GenJsonData();
  const Json::Value* document = &jsonData_;
  outlenRet = static_cast<int>(sizeof document);
  if (!BufferHolds(out, outlen, sizeof document)) return -1;
  std::memcpy(out, &document, sizeof document);
  return 0;
}

// Codes we do not handle: the host reads the last write's outcome from the buffer, then gets
// its own handling of the code, which may overwrite both.
int DO3008RA::ReportWriteResult(int code, const void* in, int inlen, void* out, int outlen,
                                int& outlenRet) {
  if (BufferHolds(out, outlen, sizeof writeResult_)) {
    std::memcpy(out, &writeResult_, sizeof writeResult_);
    outlenRet = static_cast<int>(sizeof writeResult_);
  } else {
    outlenRet = 0;
  }
  return SMDVDevice::DeviceIoControl(code, in, inlen, out, outlen, outlenRet);
}

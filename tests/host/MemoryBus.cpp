// SPDX-License-Identifier: Apache-2.0
#include "MemoryBus.h"

namespace {

Exchange Unanswered(const std::string& error) {
  Exchange exchange;
  exchange.error = error;
  return exchange;
}

void PushWord(std::vector<uint8_t>& bytes, uint16_t word) {
  bytes.push_back(static_cast<uint8_t>(word >> 8));
  bytes.push_back(static_cast<uint8_t>(word & 0xFF));
}

bool IsWrite(const ModbusRequest& request) {
  return request.function == ModbusRequest::kWriteSingle ||
         request.function == ModbusRequest::kWriteMultiple;
}

}  // namespace

void MemoryBus::Fail(Fault fault, int exchanges, int exceptionCode) {
  for (int i = 0; i < exchanges; ++i) faults_.push_back({fault, exceptionCode});
}

void MemoryBus::FailReopens(int times, const std::string& why) {
  reopenFailures_ = times;
  reopenFailure_ = why;
}

Exchange MemoryBus::Perform(int slave, const ModbusRequest& request) {
  {
    std::lock_guard<std::mutex> lock(talkersMutex_);
    talkers_.insert(std::this_thread::get_id());
  }
  requests_.push_back(request);
  if (!open_) {
    Exchange closed = Unanswered("serial device " + device_ + " is not open");
    closed.portLost = "not open";
    return closed;
  }
  if (!faults_.empty()) {
    const Scripted scripted = faults_.front();
    faults_.pop_front();
    if (scripted.fault != Fault::kBadAnswer || !IsWrite(request)) {
      return Faulty(scripted);
    }
    Exchange echo = Answer(slaves_[slave], request);
    ++echo.pdu.back();
    return echo;
  }
  const auto found = slaves_.find(slave);
  if (found == slaves_.end()) return Unanswered("Connection timed out");
  return Answer(found->second, request);
}

Exchange MemoryBus::Faulty(const Scripted& scripted) {
  switch (scripted.fault) {
    case Fault::kNoAnswer:
      return Unanswered("Connection timed out");
    case Fault::kBadAnswer:
      return Unanswered("Invalid CRC");
    case Fault::kException: {
      Exchange refused = Unanswered("Modbus exception " + std::to_string(scripted.exceptionCode));
      refused.lineQuiet = true;
      refused.exception = scripted.exceptionCode;
      return refused;
    }
    case Fault::kPortGone:
      break;
  }
  Exchange gone = Unanswered("Input/output error");
  gone.portLost = "the device node is gone";
  return gone;
}

Exchange MemoryBus::Answer(std::map<uint16_t, uint16_t>& registers,
                           const ModbusRequest& request) const {
  Exchange exchange;
  exchange.answered = true;
  if (!IsWrite(request)) {
    for (unsigned i = 0; i < request.count; ++i) {
      exchange.registers.push_back(registers[static_cast<uint16_t>(request.address + i)]);
    }
    return exchange;
  }
  for (unsigned i = 0; i < request.count && i < ModbusRequest::kMaxWriteCount; ++i) {
    registers[static_cast<uint16_t>(request.address + i)] = request.values[i];
  }
  // The echo: function, address, then the value of a single write or the count of a multiple.
  exchange.pdu.push_back(request.function);
  PushWord(exchange.pdu, request.address);
  PushWord(exchange.pdu,
           request.function == ModbusRequest::kWriteSingle ? request.values[0] : request.count);
  return exchange;
}

int MemoryBus::SendRaw(const unsigned char* data, unsigned int length) {
  return data != nullptr && open_ ? static_cast<int>(length) : -1;
}

void MemoryBus::Reconfigure(int baudRate, char parity) {
  (void)parity;
  baud_ = baudRate;
  open_ = true;
}

void MemoryBus::Reopen() {
  if (reopenFailures_ > 0) {
    --reopenFailures_;
    throw SerialError("cannot open serial device " + device_ + ": " + reopenFailure_);
  }
  open_ = true;
}

#include "line/SerialLine.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace {

constexpr int kMaxDrainRounds = 4;

// A Modbus exception is a complete, prompt answer: nothing more is on its way.
bool IsExceptionAnswer(int error) {
  return error > MODBUS_ENOBASE && error <= MODBUS_ENOBASE + MODBUS_EXCEPTION_GATEWAY_TARGET;
}

std::vector<uint8_t> WriteFrame(int slave, const ModbusRequest& request) {
  std::vector<uint8_t> frame{static_cast<uint8_t>(slave), request.function,
                             static_cast<uint8_t>(request.address >> 8),
                             static_cast<uint8_t>(request.address & 0xFF)};
  auto push = [&frame](uint16_t word) {
    frame.push_back(static_cast<uint8_t>(word >> 8));
    frame.push_back(static_cast<uint8_t>(word & 0xFF));
  };
  if (request.function == ModbusRequest::kWriteSingle) {
    push(request.values[0]);
    return frame;
  }
  push(request.count);
  frame.push_back(static_cast<uint8_t>(request.count * 2));
  for (unsigned i = 0; i < request.count; ++i) push(request.values[i]);
  return frame;
}

}  // namespace

std::string Describe(const ModbusRequest& request) {
  const std::string range = std::to_string(request.address) + "/" + std::to_string(request.count);
  switch (request.function) {
    case ModbusRequest::kReadHolding:
      return "read holding registers " + range;
    case ModbusRequest::kReadInput:
      return "read input registers " + range;
    case ModbusRequest::kWriteSingle:
      return "write register " + std::to_string(request.address);
    case ModbusRequest::kWriteMultiple:
      return "write registers " + range;
    default:
      return "function " + std::to_string(request.function);
  }
}

SerialLine::SerialLine(const LineConfig& config)
    : config_(config),
      device_(config.device),
      responseTimeoutMs_(config.responseTimeoutMs),
      lock_(config.device) {
  config_.devices.clear();
  Open();
}

SerialLine::~SerialLine() { Close(); }

void SerialLine::Open() {
  context_ = modbus_new_rtu(device_.c_str(), config_.baudRate, config_.parity, config_.dataBits,
                            config_.stopBits);
  if (context_ == nullptr) {
    throw SerialError("cannot set up serial line " + device_ + ": " + modbus_strerror(errno));
  }
  if (modbus_connect(context_) != 0) {
    const int error = errno;
    modbus_free(context_);
    context_ = nullptr;
    // Someone put the device in exclusive mode between the lock's open and this one.
    if (error == EBUSY) throw SerialError(PortInUse(device_));
    throw SerialError("cannot open serial device " + device_ + ": " + modbus_strerror(error));
  }
  try {
    lock_.MakeExclusive();
  } catch (...) {
    Close();
    throw;
  }
  const auto timeout = static_cast<uint32_t>(responseTimeoutMs_);
  modbus_set_response_timeout(context_, timeout / 1000, (timeout % 1000) * 1000);
  // Silence between the bytes of one answer: generous for any baud rate, never longer than
  // the answer itself may take.
  const uint32_t byteTimeout = std::min<uint32_t>(timeout, 200);
  modbus_set_byte_timeout(context_, 0, byteTimeout * 1000);
  modbus_set_error_recovery(context_, MODBUS_ERROR_RECOVERY_NONE);
  flushBeforeNext_ = true;
}

void SerialLine::Close() {
  if (context_ == nullptr) return;
  modbus_close(context_);
  modbus_free(context_);
  context_ = nullptr;
}

void SerialLine::Reconfigure(int baudRate, char parity) {
  Close();
  lock_.LeaveExclusive();
  config_.baudRate = baudRate;
  config_.parity = parity;
  Open();
}

Exchange SerialLine::Perform(int slave, const ModbusRequest& request) {
  // A reopening that failed leaves the line closed until one succeeds.
  if (context_ == nullptr) return Failed("serial device " + device_ + " is not open");
  // A good exchange leaves the line empty; only the first exchange and one after raw bytes
  // went out may find something there that is not its answer.
  if (flushBeforeNext_) {
    modbus_flush(context_);
    flushBeforeNext_ = false;
  }
  modbus_set_slave(context_, slave);
  Exchange exchange;
  if (request.function == ModbusRequest::kReadHolding ||
      request.function == ModbusRequest::kReadInput) {
    exchange = Read(request);
  } else if (request.function == ModbusRequest::kWriteSingle ||
             request.function == ModbusRequest::kWriteMultiple) {
    exchange = Write(slave, request);
  } else {
    return Failed("function " + std::to_string(request.function) + " is not supported");
  }
  if (!exchange.answered) {
    // What is left of a broken answer, or all of a late one, must not be taken for the
    // answer to the next request.
    modbus_flush(context_);
    if (!exchange.lineQuiet && waitForLateAnswers_) DrainLateAnswer();
  }
  return exchange;
}

Exchange SerialLine::Read(const ModbusRequest& request) {
  std::vector<uint16_t> registers(std::max<unsigned>(request.count, 1));
  const int count =
      request.function == ModbusRequest::kReadHolding
          ? modbus_read_registers(context_, request.address, request.count, registers.data())
          : modbus_read_input_registers(context_, request.address, request.count, registers.data());
  if (count < 0) {
    const int error = errno;
    Exchange failed = Failed(modbus_strerror(error));
    failed.lineQuiet = IsExceptionAnswer(error);
    if (failed.lineQuiet) failed.exception = error - MODBUS_ENOBASE;
    return failed;
  }
  registers.resize(static_cast<std::size_t>(count));
  Exchange exchange;
  exchange.answered = true;
  exchange.registers = std::move(registers);
  return exchange;
}

Exchange SerialLine::Write(int slave, const ModbusRequest& request) {
  // libmodbus's own write calls check the echo and hide it: a sensor that echoes another count
  // would come back as an error, never as an answer. The request goes out raw instead and the
  // whole answer comes back, so the device itself judges the echo.
  const std::vector<uint8_t> frame = WriteFrame(slave, request);
  if (modbus_send_raw_request(context_, frame.data(), static_cast<int>(frame.size())) < 0) {
    return Failed(modbus_strerror(errno));
  }
  uint8_t answer[MODBUS_RTU_MAX_ADU_LENGTH];
  const int length = modbus_receive_confirmation(context_, answer);
  if (length < 0) return Failed(modbus_strerror(errno));
  // 0: an answer from another address. Slave address and CRC (2 bytes) frame the PDU.
  if (length < 4) return Failed("answer from another address");
  if ((answer[1] & 0x7F) != request.function) return Failed("answer to another function");
  if (answer[1] & 0x80) {
    Exchange failed = Failed("Modbus exception " + std::to_string(answer[2]));
    failed.lineQuiet = true;
    failed.exception = answer[2];
    return failed;
  }
  Exchange exchange;
  exchange.answered = true;
  exchange.pdu.assign(answer + 1, answer + length - 2);
  return exchange;
}

void SerialLine::DrainLateAnswer() {
  // After a failed exchange the answer may still be on its way. Wait until the line has been
  // quiet for one response timeout, dropping whatever arrives, so that it is not read as the
  // answer to the next request.
  const int fd = modbus_get_socket(context_);
  for (int round = 0; round < kMaxDrainRounds; ++round) {
    pollfd readable{fd, POLLIN, 0};
    if (poll(&readable, 1, responseTimeoutMs_) <= 0) return;
    modbus_flush(context_);
  }
}

Exchange SerialLine::Failed(const std::string& what) {
  Exchange exchange;
  exchange.error = what;
  return exchange;
}

int SerialLine::SendRaw(const unsigned char* data, unsigned int length) {
  if (data == nullptr || context_ == nullptr) return -1;
  // Whatever the device says back to raw bytes is not read here.
  flushBeforeNext_ = true;
  const ssize_t written = write(modbus_get_socket(context_), data, length);
  return written < 0 ? -1 : static_cast<int>(written);
}

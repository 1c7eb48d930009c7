// SPDX-License-Identifier: Apache-2.0
#include "line/SerialLine.h"

#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "base/Signals.h"

namespace {

// A late answer is waited for this many response timeouts at most: a line that still talks by
// then is flushed before the next request instead.
constexpr int kDrainLimitTimeouts = 2;

// What a descriptor says once its device is unplugged (a hung-up terminal gives EIO).
bool DeviceGoneError(int error) {
  return error == EIO || error == ENXIO || error == ENODEV || error == EBADF;
}

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

SerialLine::SerialLine(const LineConfig& config)
    : config_(config),
      device_(config.device),
      responseTimeoutMs_(config.responseTimeoutMs),
      lock_(std::in_place, config.device),
      silence_(FrameTiming::Of(config)) {
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
    lock_->MakeExclusive();
    if (config_.rs485) EnterRs485();
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
  struct stat node {};
  node_ = fstat(modbus_get_socket(context_), &node) == 0 ? node.st_rdev : 0;
  flushBeforeNext_ = true;
}

void SerialLine::EnterRs485() {
  // A device without the kernel's RS-485 support (a pseudo-terminal, most USB adapters, which
  // switch direction themselves) refuses the mode: polling it would talk into a silent bus.
  if (modbus_rtu_set_serial_mode(context_, MODBUS_RTU_RS485) != 0) {
    throw SerialError("serial device " + device_ +
                      " refuses RS-485 mode: " + modbus_strerror(errno));
  }
  const Rs485Config& rs485 = *config_.rs485;
  const int rts = rs485.rtsHighOnSend ? MODBUS_RTU_RTS_UP : MODBUS_RTU_RTS_DOWN;
  if (modbus_rtu_set_rts(context_, rts) != 0 ||
      (rs485.rtsDelayUs && modbus_rtu_set_rts_delay(context_, *rs485.rtsDelayUs) != 0)) {
    throw SerialError("serial device " + device_ +
                      ": cannot drive RTS for RS-485: " + modbus_strerror(errno));
  }
}

void SerialLine::Close() {
  if (context_ == nullptr) return;
  modbus_close(context_);
  modbus_free(context_);
  context_ = nullptr;
}

void SerialLine::Reconfigure(int baudRate, char parity) {
  Close();
  config_.baudRate = baudRate;
  config_.parity = parity;
  silence_.Retime(FrameTiming::Of(config_));
  if (!lock_) return Reopen();
  lock_->LeaveExclusive();
  Open();
}

void SerialLine::Drop() {
  Close();
  lock_.reset();
}

void SerialLine::Reopen() {
  if (IsOpen()) return;
  // A lock still held (a failed reconfiguration) is taken anew with the device.
  lock_.reset();
  lock_.emplace(device_);
  try {
    Open();
  } catch (...) {
    lock_.reset();
    throw;
  }
}

std::optional<std::string> SerialLine::Gone(int error) const {
  if (context_ == nullptr) return std::nullopt;
  if (DeviceGoneError(error)) return std::string(std::strerror(error));
  // A timeout or a hang-up seen as end of file: the terminal itself tells whether it is still
  // there.
  termios settings{};
  if (tcgetattr(modbus_get_socket(context_), &settings) != 0 && DeviceGoneError(errno)) {
    return std::string(std::strerror(errno));
  }
  struct stat node {};
  if (stat(device_.c_str(), &node) != 0) {
    if (errno == ENOENT || errno == ENOTDIR || errno == ENXIO || errno == ENODEV) {
      return std::string("the device node is gone");
    }
  } else if (node_ != 0 && node.st_rdev != node_) {
    return std::string("the path leads to another device now");
  }
  return std::nullopt;
}

Exchange SerialLine::Perform(int slave, const ModbusRequest& request) {
  // A reopening that failed leaves the line closed until one succeeds; the exchange fails at
  // once instead of waiting for an answer that cannot come.
  if (context_ == nullptr) {
    Exchange closed = Failed("serial device " + device_ + " is not open");
    closed.portLost = "not open";
    return closed;
  }
  // A good exchange leaves the line empty; only the first exchange and one after raw bytes
  // went out may find something there that is not its answer.
  if (flushBeforeNext_) {
    DiscardInput();
    flushBeforeNext_ = false;
  }
  modbus_set_slave(context_, slave);
  silence_.Keep();
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
  // The answer's last byte, or the request's when none came: the next silence starts here.
  silence_.Heard(std::chrono::steady_clock::now());
  if (!exchange.answered && !exchange.lineQuiet) {
    if (auto gone = Gone(exchange.errorNumber)) {
      // Nothing more comes from an unplugged device: no drain.
      exchange.portLost = *gone;
      return exchange;
    }
  }
  if (!exchange.answered) {
    // What is left of a broken answer, or all of a late one, must not be taken for the
    // answer to the next request.
    DiscardInput();
    if (!exchange.lineQuiet && waitForLateAnswers_) DrainLateAnswer();
    silence_.Heard(std::chrono::steady_clock::now());
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
    Exchange failed = FailedCall(error);
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
    return FailedCall(errno);
  }
  uint8_t answer[MODBUS_RTU_MAX_ADU_LENGTH];
  const int length = modbus_receive_confirmation(context_, answer);
  if (length < 0) return FailedCall(errno);
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
  // answer to the next request. A line that keeps talking holds the wait for at most
  // kDrainLimitTimeouts response timeouts; it is flushed again before the next request. A stop
  // request ends the wait at once.
  using Clock = std::chrono::steady_clock;
  const int fd = modbus_get_socket(context_);
  const auto timeout = std::chrono::milliseconds(responseTimeoutMs_);
  const auto limit = Clock::now() + kDrainLimitTimeouts * timeout;
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(limit - Clock::now());
    if (left.count() <= 0) break;
    const auto wait = std::min(left, timeout);
    pollfd watched[2] = {{fd, POLLIN, 0}, {StopDescriptor(), POLLIN, 0}};
    const int ready = poll(watched, 2, static_cast<int>(wait.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0 || (watched[1].revents & POLLIN) != 0) break;
    if (ready == 0) {
      if (wait == timeout) return;  // quiet for a whole response timeout
      break;
    }
    // A hung-up device has nothing to drain.
    if ((watched[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) return;
    DiscardInput();
  }
  flushBeforeNext_ = true;
}

void SerialLine::DiscardInput() {
  // Only what came in is dropped. A request once written stays on its way to the sensor, as it
  // would on a wire; libmodbus's flush would also drop the end of one still queued for the
  // transmitter at a slow speed.
  tcflush(modbus_get_socket(context_), TCIFLUSH);
}

Exchange SerialLine::Failed(const std::string& what) {
  Exchange exchange;
  exchange.error = what;
  return exchange;
}

Exchange SerialLine::FailedCall(int error) {
  Exchange exchange = Failed(modbus_strerror(error));
  exchange.errorNumber = error;
  return exchange;
}

int SerialLine::SendRaw(const unsigned char* data, unsigned int length) {
  if (data == nullptr || context_ == nullptr) return -1;
  // Whatever the device says back to raw bytes is not read here.
  flushBeforeNext_ = true;
  silence_.Keep();
  const ssize_t written = write(modbus_get_socket(context_), data, length);
  if (written > 0) {
    silence_.Heard(
        silence_.SentBy(std::chrono::steady_clock::now(), static_cast<unsigned>(written)));
  }
  return written < 0 ? -1 : static_cast<int>(written);
}

// SPDX-License-Identifier: Apache-2.0
#include "SimServer.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <stdexcept>
#include <thread>

#include "RtuFrame.h"

namespace {

constexpr uint8_t kReadHolding = 3;
constexpr uint8_t kReadInput = 4;
constexpr uint8_t kWriteSingle = 6;
constexpr uint8_t kWriteMultiple = 16;
constexpr int kPollMs = 100;
// A host that keeps writing cannot hold a stopping simulator for long.
constexpr int kServedAtStop = 16;
constexpr std::chrono::milliseconds kControlEvery{200};

uint16_t Word(const uint8_t* bytes) { return static_cast<uint16_t>((bytes[0] << 8) | bytes[1]); }

bool IsWrite(uint8_t function) { return function == kWriteSingle || function == kWriteMultiple; }

}  // namespace

SimServer::SimServer(PtyLink& pty, SensorRegisters& registers, FaultPlan& faults, bool verbose)
    : pty_(&pty), registers_(registers), faults_(faults), verbose_(verbose) {
  OpenContext();
}

SimServer::SimServer(const std::string& device, SensorRegisters& registers, FaultPlan& faults,
                     bool verbose)
    : device_(device), registers_(registers), faults_(faults), verbose_(verbose) {
  OpenContext();
}

SimServer::~SimServer() { CloseContext(); }

void SimServer::OpenContext() {
  if (pty_ != nullptr) {
    // libmodbus can only open a device by path; the master side of the pair has none, so the
    // context is given the already open descriptor instead and is never connected or closed.
    context_ = modbus_new_rtu(pty_->SlavePath().c_str(), 9600, 'N', 8, 1);
    if (context_ == nullptr) throw std::runtime_error("cannot make a Modbus-RTU context");
    modbus_set_socket(context_, pty_->MasterFd());
  } else {
    context_ = modbus_new_rtu(device_.c_str(), BaudOfCode(baudCode_), 'N', 8, 1);
    if (context_ == nullptr) throw std::runtime_error("cannot make a Modbus-RTU context");
    if (modbus_connect(context_) != 0) {
      const std::string reason = modbus_strerror(errno);
      modbus_free(context_);
      context_ = nullptr;
      throw std::runtime_error("cannot open " + device_ + ": " + reason);
    }
  }
  modbus_set_slave(context_, slave_);
}

void SimServer::CloseContext() {
  if (context_ == nullptr) return;
  if (pty_ == nullptr) modbus_close(context_);
  modbus_free(context_);
  context_ = nullptr;
}

int SimServer::Fd() const {
  return pty_ != nullptr ? pty_->MasterFd() : modbus_get_socket(context_);
}

void SimServer::Run(const volatile std::sig_atomic_t& stop) {
  stop_ = &stop;
  while (!stop) {
    CheckControl();
    // libmodbus retries its own waits on EINTR, so a signal could never end modbus_receive;
    // waiting here first keeps the loop responsive to the stop request.
    if (Readable(kPollMs)) ReceiveAndServe();
  }
  // Requests that reached the line before the stop are still served, as a sensor on a wire
  // would have heard them: the log then holds every request a host sent, even one sent by a
  // host that stopped just before this simulator.
  for (int left = kServedAtStop; left > 0 && Readable(0); --left) ReceiveAndServe();
}

bool SimServer::Readable(int timeoutMs) const {
  pollfd readable{Fd(), POLLIN, 0};
  return poll(&readable, 1, timeoutMs) > 0 && (readable.revents & POLLIN) != 0;
}

void SimServer::ReceiveAndServe() {
  uint8_t frame[MODBUS_RTU_MAX_ADU_LENGTH];
  const int length = modbus_receive(context_, frame);
  if (length == 0) {
    // A request for another address: libmodbus now expects that slave's answer and would
    // swallow the next request as one. A fresh context forgets that expectation.
    if (verbose_) std::printf("request for another address ignored\n");
    CloseContext();
    OpenContext();
    return;
  }
  if (length < 0) {
    if (verbose_) std::printf("unreadable request: %s\n", modbus_strerror(errno));
    modbus_flush(context_);
    return;
  }
  Serve(frame, length);
}

void SimServer::Serve(const uint8_t* frame, int length) {
  registers_.Refresh(SecondsRunning());
  Request request;
  if (!ParseRequest(frame, length, request)) return;
  if (!LineSpeedMatches()) {
    if (verbose_) std::printf("request at the wrong line speed ignored\n");
    return;
  }
  const Fault fault = faults_.Decide(request.function);
  if (verbose_) {
    std::printf("request fc%u %u/%u: %s\n", request.function, request.address, request.count,
                FaultName(fault));
  }
  if (fault == Fault::kDrop) return;
  if (fault == Fault::kLate) Wait(faults_.Settings().lateMs);
  Answer(frame, length, request, fault);
}

bool SimServer::ParseRequest(const uint8_t* frame, int length, Request& request) const {
  if (length < 4) return false;
  request.slave = frame[0];
  request.function = frame[1];
  if (length >= 6) {
    request.address = Word(frame + 2);
    request.count = Word(frame + 4);
  }
  if (request.function == kWriteSingle) {
    request.values = {request.count};
    request.count = 1;
  } else if (request.function == kWriteMultiple) {
    const int byteCount = length >= 7 ? frame[6] : 0;
    if (length < 7 + byteCount + 2 || byteCount != request.count * 2) return false;
    for (int i = 0; i < request.count; ++i) request.values.push_back(Word(frame + 7 + 2 * i));
  }
  return true;
}

uint8_t SimServer::Check(const Request& request) const {
  switch (request.function) {
    case kReadHolding:
    case kReadInput:
      return registers_.CheckRead(request.address, request.count);
    case kWriteSingle:
    case kWriteMultiple:
      return registers_.CheckWrite(request.address, request.values);
    default:
      return MODBUS_EXCEPTION_ILLEGAL_FUNCTION;
  }
}

void SimServer::Answer(const uint8_t* frame, int length, const Request& request, Fault fault) {
  if (fault == Fault::kException) {
    modbus_reply_exception(context_, frame, MODBUS_EXCEPTION_SLAVE_OR_SERVER_FAILURE);
    return;
  }
  if (const uint8_t exception = Check(request)) {
    if (verbose_) std::printf("exception %u\n", exception);
    modbus_reply_exception(context_, frame, exception);
    return;
  }
  SensorRegisters::LineChange change;
  if (IsWrite(request.function)) {
    change = registers_.ApplyWrite(request.address, request.values);
    for (std::size_t i = 0; i < request.values.size(); ++i) {
      std::printf("write %u = %u\n", static_cast<unsigned>(request.address + i), request.values[i]);
    }
  }
  // Broadcasts are carried out but never answered.
  if (request.slave == MODBUS_BROADCAST_ADDRESS) {
    ApplyLineChange(change);
    return;
  }
  const bool ownFrame =
      fault == Fault::kCorrupt || (IsWrite(request.function) && faults_.Settings().wrongEcho);
  if (ownFrame) {
    SendOwnFrame(request, fault == Fault::kCorrupt);
  } else {
    modbus_reply(context_, frame, length, registers_.Mapping());
  }
  // A new address or line speed takes effect once the answer is out, as on the sensor.
  ApplyLineChange(change);
}

void SimServer::SendOwnFrame(const Request& request, bool corrupt) {
  std::vector<uint8_t> body;
  if (IsWrite(request.function)) {
    const uint16_t echoed = request.function == kWriteSingle ? request.values[0] : request.count;
    const uint16_t shown =
        faults_.Settings().wrongEcho ? static_cast<uint16_t>(echoed + 1) : echoed;
    body = rtu::WriteEcho(request.slave, request.function, request.address, shown);
  } else {
    body = rtu::ReadAnswer(
        request.slave, request.function,
        registers_.Read(request.function == kReadInput, request.address, request.count));
  }
  if (!corrupt) {
    modbus_send_raw_request(context_, body.data(), static_cast<int>(body.size()));
    return;
  }
  const std::vector<uint8_t> frame = rtu::WithCrc(body, true);
  if (write(Fd(), frame.data(), frame.size()) < 0 && verbose_) {
    std::printf("write failed: %s\n", modbus_strerror(errno));
  }
}

void SimServer::ApplyLineChange(const SensorRegisters::LineChange& change) {
  if (change.slave) {
    slave_ = *change.slave;
    modbus_set_slave(context_, slave_);
    std::printf("address is now %u\n", slave_);
  }
  if (change.baudCode && *change.baudCode != baudCode_) {
    baudCode_ = *change.baudCode;
    std::printf("baud rate is now %d\n", BaudOfCode(baudCode_));
    if (pty_ == nullptr) {
      CloseContext();
      OpenContext();
    }
  }
}

bool SimServer::LineSpeedMatches() const {
  // On a pseudo-terminal there is no real line speed; the speed the host set on its side
  // stands in for it, so a host at the wrong speed hears nothing, as on a real line.
  if (pty_ == nullptr) return true;
  const int lineBaud = pty_->LineBaud();
  return lineBaud == 0 || lineBaud == BaudOfCode(baudCode_);
}

void SimServer::Wait(int milliseconds) const {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  while (!*stop_ && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void SimServer::CheckControl() {
  const auto now = std::chrono::steady_clock::now();
  if (control_ == nullptr || now - controlChecked_ < kControlEvery) return;
  controlChecked_ = now;
  const auto text = control_->Check();
  if (!text) return;
  for (const std::string& error : text->errors) {
    std::printf("control %s: %s, ignored\n", control_->Path().c_str(), error.c_str());
  }
  registers_.Control(text->pins);
  std::printf("control %s: %zu register(s) held\n", control_->Path().c_str(), text->pins.size());
  for (const SensorRegisters::Pin& pin : text->pins) {
    std::printf("control: %s %u = %u\n", pin.input ? "input" : "holding", pin.address, pin.value);
  }
}

double SimServer::SecondsRunning() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

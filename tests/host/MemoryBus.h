// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "line/Bus.h"

// A bus of register maps, one per slave address, to run a line in-process. A slave without a
// map does not answer. Failures are scripted for the next exchanges, in order.
class MemoryBus : public Bus {
 public:
  enum class Fault {
    kNoAnswer,
    kBadAnswer,  // a read garbled on the wire; a write echoed one more than was written
    kException,
    kPortGone,  // the device goes away; the bus stays dropped until reopened
  };

  std::map<uint16_t, uint16_t>& Slave(int address) { return slaves_[address]; }
  void Fail(Fault fault, int exchanges = 1, int exceptionCode = 2);
  // The next `times` reopenings throw SerialError with `why`.
  void FailReopens(int times, const std::string& why = "no such file or directory");
  const std::vector<ModbusRequest>& Requests() const { return requests_; }
  int Baud() const { return baud_; }
  // The threads that talked on the bus: the line's own only, unless a job escaped it.
  std::set<std::thread::id> Talkers() const {
    std::lock_guard<std::mutex> lock(talkersMutex_);
    return talkers_;
  }

  Exchange Perform(int slave, const ModbusRequest& request) override;
  int SendRaw(const unsigned char* data, unsigned int length) override;
  void Reconfigure(int baudRate, char parity) override;
  void Drop() override { open_ = false; }
  void Reopen() override;
  const std::string& Device() const override { return device_; }
  bool IsOpen() const override { return open_; }

 private:
  struct Scripted {
    Fault fault;
    int exceptionCode;
  };
  Exchange Faulty(const Scripted& scripted);
  Exchange Answer(std::map<uint16_t, uint16_t>& registers, const ModbusRequest& request) const;

  std::map<int, std::map<uint16_t, uint16_t>> slaves_;
  std::deque<Scripted> faults_;
  std::vector<ModbusRequest> requests_;
  mutable std::mutex talkersMutex_;
  std::set<std::thread::id> talkers_;
  std::string device_ = "/dev/memory-bus";
  std::string reopenFailure_;
  int reopenFailures_ = 0;
  int baud_ = 9600;
  bool open_ = true;
};

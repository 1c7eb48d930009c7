// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <modbus/modbus.h>

#include "config/HostConfig.h"
#include "host/ModbusRequest.h"
#include "line/Bus.h"
#include "line/LineSilence.h"
#include "line/PortLock.h"

// One Modbus-RTU serial line, driven by libmodbus. Exchanges run one at a time, each with the
// line's response timeout, each request after the silence that ends the frame before it. A
// request leaves in one write, so no gap opens inside it.
class SerialLine : public Bus {
 public:
  // Opens, takes for this process alone and configures the serial device; throws SerialError
  // when it cannot, or when another process has it.
  explicit SerialLine(const LineConfig& config);
  ~SerialLine() override;
  SerialLine(const SerialLine&) = delete;
  SerialLine& operator=(const SerialLine&) = delete;

  Exchange Perform(int slave, const ModbusRequest& request) override;
  int SendRaw(const unsigned char* data, unsigned int length) override;
  const std::string& Device() const override { return device_; }
  int Baud() const { return config_.baudRate; }
  char Parity() const { return config_.parity; }
  // Reopens the line at another speed and parity (libmodbus fixes them in its context), still
  // holding the port (a dropped line is opened and locked anew); throws SerialError when the
  // device cannot be opened again.
  void Reconfigure(int baudRate, char parity) override;
  // Gives the device back (libmodbus context and lock) so that a new node at the same path, or
  // the same device come back, can be opened and locked again.
  void Drop() override;
  // Opens, locks and configures the device again after Drop; throws SerialError when it cannot
  // (still gone, or taken by another process), leaving the line dropped.
  void Reopen() override;
  bool IsOpen() const override { return context_ != nullptr; }
  // A scan moves on at once after a silent address: waiting out a late answer there would
  // double its time, and the next request is flushed before anyway.
  void SetWaitForLateAnswers(bool wait) { waitForLateAnswers_ = wait; }

 private:
  void Open();
  void Close();
  void EnterRs485();
  Exchange Read(const ModbusRequest& request);
  Exchange Write(int slave, const ModbusRequest& request);
  void DrainLateAnswer();
  void DiscardInput();  // drops what the line received and nobody read; never what went out
  Exchange Failed(const std::string& what);
  Exchange FailedCall(int error);  // a libmodbus call failed with this errno
  // Why the device is no longer there after a failed exchange (the exchange's errno), or
  // nothing when it still is.
  std::optional<std::string> Gone(int error) const;

  LineConfig config_;  // the devices are not needed here; kept for reopening
  std::string device_;
  int responseTimeoutMs_;
  bool waitForLateAnswers_ = true;
  // Taken before the line is opened and given back after it is closed (members go after the
  // destructor's body); empty while the device is dropped.
  std::optional<PortLock> lock_;
  modbus_t* context_ = nullptr;
  dev_t node_ = 0;  // the device number the line was opened on
  // Set until the first exchange and after raw bytes went out.
  bool flushBeforeNext_ = true;
  LineSilence silence_;
};

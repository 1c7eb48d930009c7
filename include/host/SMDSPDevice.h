// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "host/EnumParity.h"
#include "host/SMDVDevice.h"
#include "host/host_api.h"

// A device on a serial port: the port, the line settings and the state of the exchange under
// way. The controller owns the port; the device only asks for it.
class HOST_API SMDSPDevice : public SMDVDevice {
 public:
  SMDSPDevice();
  ~SMDSPDevice() override;

  // Ends the exchange under way; the poll step is left as it is.
  void Reset() override;
  int Init(std::weak_ptr<SMDController> controller, unsigned int dataId,
           const Json::Value& settings) override;
  // Marks the start of an exchange; returns 1.
  virtual int RefreshStatus();
  // Raw bytes received for this device; a plain serial device has no decoder and takes none.
  virtual int process(unsigned char* data, unsigned int length);
  virtual bool IsProcessing();
  // True when an exchange has been under way for longer than the stall limit.
  virtual bool IsStalled();
  virtual int SendData(const unsigned char* data, unsigned int length);
  virtual int SendParityData(const unsigned char* data, unsigned int length, EnumParity parity);
  virtual int OpenPort();
  virtual int ClosePort();

  // Line settings as configured, for the controller that opens the port.
  int BaudRate() const { return baudRate_; }
  EnumParity Parity() const { return parity_; }
  int DataBits() const { return dataBits_; }
  int StopBits() const { return stopBits_; }
  const std::string& PortPath() const { return portPath_; }
  int Step() const { return step_; }

  static constexpr std::chrono::seconds kStallLimit{30};

 protected:
  int32_t step_ = 0;
  // Set by devices that keep their port open between cycles.
  uint8_t keepPortOpen_ = 0;
  bool processing_ = false;
  int32_t baudRate_ = 9600;
  EnumParity parity_ = PARITY_NONE;
  int32_t dataBits_ = 8;
  int32_t stopBits_ = 1;
  std::string portPath_;
  std::chrono::steady_clock::time_point busySince_{};
};

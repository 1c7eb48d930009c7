// SPDX-License-Identifier: Apache-2.0
#include "host/SMDSPDevice.h"

SMDSPDevice::SMDSPDevice() = default;
SMDSPDevice::~SMDSPDevice() = default;

void SMDSPDevice::Reset() { processing_ = false; }

int SMDSPDevice::Init(std::weak_ptr<SMDController> controller, unsigned int dataId,
                      const Json::Value& settings) {
  return SMDVDevice::Init(std::move(controller), dataId, settings);
}

int SMDSPDevice::RefreshStatus() {
  processing_ = true;
  busySince_ = std::chrono::steady_clock::now();
  return 1;
}

int SMDSPDevice::process(unsigned char* data, unsigned int length) {
  (void)data;
  (void)length;
  return 0;
}

bool SMDSPDevice::IsProcessing() { return processing_; }

bool SMDSPDevice::IsStalled() {
  return processing_ && std::chrono::steady_clock::now() - busySince_ > kStallLimit;
}

int SMDSPDevice::SendData(const unsigned char* data, unsigned int length) {
  return SendParityData(data, length, parity_);
}

int SMDSPDevice::SendParityData(const unsigned char* data, unsigned int length, EnumParity parity) {
  if (auto controller = Controller()) return controller->SendData(*this, data, length, parity);
  return -1;
}

int SMDSPDevice::OpenPort() {
  if (auto controller = Controller()) return controller->OpenPort(*this);
  return -1;
}

int SMDSPDevice::ClosePort() {
  if (auto controller = Controller()) return controller->ClosePort(*this);
  return -1;
}

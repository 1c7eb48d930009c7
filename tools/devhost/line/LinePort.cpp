// SPDX-License-Identifier: Apache-2.0
#include "line/LinePort.h"

void LinePort::ChangeSpeed(int baudRate) {
  config_.baudRate = baudRate;
  bus_->Reconfigure(baudRate, config_.parity);
}

Exchange LinePort::Perform(int slave, const ModbusRequest& request) {
  Exchange exchange = bus_->Perform(slave, request);
  if (!exchange.portLost.empty()) {
    reopen_.Lost(*bus_, exchange.portLost, std::chrono::steady_clock::now());
  }
  return exchange;
}

int LinePort::SendRaw(const unsigned char* data, unsigned int length) {
  return bus_ ? bus_->SendRaw(data, length) : -1;
}

void LinePort::ReopenIfDue(std::chrono::steady_clock::time_point now) {
  if (bus_) reopen_.AttemptIfDue(*bus_, now);
}

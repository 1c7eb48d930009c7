// SPDX-License-Identifier: Apache-2.0
#include "line/Bus.h"

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

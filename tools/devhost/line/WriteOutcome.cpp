// SPDX-License-Identifier: Apache-2.0
#include "line/WriteOutcome.h"

#include "line/LineController.h"

namespace {

uint16_t EchoWord(const std::vector<uint8_t>& pdu, std::size_t offset) {
  return pdu.size() >= offset + 2 ? static_cast<uint16_t>((pdu[offset] << 8) | pdu[offset + 1]) : 0;
}

// The part of the echo that differs from the request: the value of a single write, the count of
// a multiple one, or the address of either.
std::string EchoDifference(const ModbusRequest& request, const Exchange& exchange) {
  const std::vector<uint8_t>& pdu = exchange.pdu;
  if (pdu.size() < 5) return "echo of " + std::to_string(pdu.size()) + " bytes";
  const uint16_t address = EchoWord(pdu, 1);
  if (address != request.address) {
    return "echo of register " + std::to_string(address) + " for " +
           std::to_string(request.address);
  }
  const uint16_t echoed = EchoWord(pdu, 3);
  const uint16_t expected =
      request.function == ModbusRequest::kWriteSingle ? request.values[0] : request.count;
  return "echo " + std::to_string(echoed) + " for " + std::to_string(expected);
}

}  // namespace

std::string ModbusExceptionName(int code) {
  switch (code) {
    case 1:
      return "illegal function";
    case 2:
      return "illegal data address";
    case 3:
      return "illegal data value";
    case 4:
      return "slave device failure";
    case 5:
      return "acknowledge";
    case 6:
      return "slave device busy";
    case 8:
      return "memory parity error";
    case 10:
      return "gateway path unavailable";
    case 11:
      return "gateway target device failed to respond";
    default:
      return "unknown exception";
  }
}

WriteResult DescribeWriteOutcome(const WriteOutcomeCodes& codes, int32_t deviceOutcome,
                                 const ModbusRequest* request, const Exchange* exchange) {
  if (deviceOutcome == codes.confirmed) return {"confirmed", kExitOk};
  if (deviceOutcome == codes.notConfirmed) {
    std::string text = "not confirmed";
    if (request != nullptr && exchange != nullptr && exchange->answered) {
      text += " (" + EchoDifference(*request, *exchange) + ")";
    }
    return {text, kExitNotConfirmed};
  }
  if (exchange != nullptr && exchange->exception != 0) {
    return {"refused by the sensor: Modbus exception " + std::to_string(exchange->exception) +
                " (" + ModbusExceptionName(exchange->exception) + ")",
            kExitRefused};
  }
  if (deviceOutcome == codes.pending) return {"no answer", kExitNoAnswer};
  return {"outcome " + std::to_string(deviceOutcome), kExitNotConfirmed};
}

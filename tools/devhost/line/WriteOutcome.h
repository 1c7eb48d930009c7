// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <string>

#include "base/ExitStatus.h"
#include "events/DeviceProfile.h"
#include "host/ModbusRequest.h"
#include "line/Bus.h"

struct WriteResult;

// What a write came to, from the device's verdict on the echo (its type's codes: confirmed, not
// confirmed, pending: no usable answer) and what the line brought back for it: "confirmed",
// "not confirmed (echo 16 for 15)", "refused by the sensor: Modbus exception 2 (illegal data
// address)" or "no answer". `request` and `exchange` may be null when nothing went out.
WriteResult DescribeWriteOutcome(const WriteOutcomeCodes& codes, int32_t deviceOutcome,
                                 const ModbusRequest* request, const Exchange* exchange);
// "illegal data address" for exception code 2, ...
std::string ModbusExceptionName(int code);

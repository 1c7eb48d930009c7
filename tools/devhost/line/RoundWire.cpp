// SPDX-License-Identifier: Apache-2.0
#include "line/RoundWire.h"

#include <cstdio>

#include "line/FrameTiming.h"

namespace {

// Address and CRC around every frame's function and data.
constexpr std::size_t kFrameOverhead = 3;
// Function, address, count (or value), as a read, a write of one register and their echoes
// carry them.
constexpr std::size_t kFixedRequestBody = 5;

std::size_t RequestCharacters(const ModbusRequest& request) {
  if (request.function == ModbusRequest::kWriteMultiple) {
    return kFrameOverhead + kFixedRequestBody + 1 + 2u * request.count;
  }
  return kFrameOverhead + kFixedRequestBody;
}

std::size_t AnswerCharacters(const Exchange& exchange) {
  if (exchange.answered && exchange.pdu.empty()) {
    return kFrameOverhead + 2 + 2 * exchange.registers.size();  // function, byte count, data
  }
  if (exchange.answered) return kFrameOverhead + exchange.pdu.size();
  return exchange.exception != 0 ? kFrameOverhead + 2 : 0;  // function, exception code
}

double Ms(std::chrono::nanoseconds span) {
  return std::chrono::duration<double, std::milli>(span).count();
}

}  // namespace

void RoundWire::Count(const ModbusRequest& request, const Exchange& exchange) {
  characters_ += RequestCharacters(request);
  ++frames_;
  if (const std::size_t answer = AnswerCharacters(exchange)) {
    characters_ += answer;
    ++frames_;
  }
}

std::string RoundWire::Describe(const LineConfig& line, std::size_t devices) const {
  const FrameTiming timing = FrameTiming::Of(line);
  char text[256];
  std::snprintf(text, sizeof text,
                "a round of %zu device(s) is %zu frames, %zu characters: %.1f ms on the wire at "
                "%d baud %d%c%d (%.3f ms a character, %.3f ms of silence before each frame)",
                devices, frames_, characters_, Ms(timing.WireTime(characters_, frames_)),
                line.baudRate, line.dataBits, line.parity, line.stopBits, Ms(timing.character),
                Ms(timing.silence));
  return text;
}

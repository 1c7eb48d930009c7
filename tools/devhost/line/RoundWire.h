// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstddef>
#include <string>

#include "config/HostConfig.h"
#include "host/ModbusRequest.h"
#include "line/Bus.h"

// What a poll round put on the wire, frame by frame, and what that costs on the line from first
// principles: each character's bits at the line's speed and the silence after every frame. It
// tells an integrator how many sensors a line carries at what rate.
class RoundWire {
 public:
  // One exchange: its request, and its answer when one came.
  void Count(const ModbusRequest& request, const Exchange& exchange);
  void Clear() { *this = RoundWire(); }
  std::size_t Frames() const { return frames_; }
  std::size_t Characters() const { return characters_; }
  // "a round of 2 device(s) is 24 frames, 228 characters: 325.0 ms on the wire at 9600 baud 8N1
  // (1.042 ms a character, 3.646 ms of silence before each frame)"
  std::string Describe(const LineConfig& line, std::size_t devices) const;

 private:
  std::size_t frames_ = 0;
  std::size_t characters_ = 0;
};

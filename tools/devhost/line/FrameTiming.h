// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <chrono>
#include <cstddef>

#include "config/HostConfig.h"

// Modbus RTU's timing on a serial line, from the line's own speed and character framing: how
// long a character takes, the silence that ends a frame (3.5 characters, 1.75 ms above 19200
// baud) and the longest gap allowed inside one (1.5 characters, 750 us above 19200 baud).
struct FrameTiming {
  std::chrono::nanoseconds character{0};
  std::chrono::nanoseconds silence{0};  // before every request, counted from the last byte
  std::chrono::nanoseconds innerGap{0};

  // Start bit, data bits, parity bit if any, stop bits.
  static int BitsPerCharacter(int dataBits, char parity, int stopBits);
  // The line's timing; `leastSilenceUs` (the line's frameSilenceUs) only ever lengthens the
  // silence, for adapters and sensors that need more than the standard's.
  static FrameTiming Of(int baudRate, int dataBits, char parity, int stopBits,
                        int leastSilenceUs = 0);
  static FrameTiming Of(const LineConfig& line);

  // Wire time of `characters` characters sent in `frames` frames, each followed by the silence.
  std::chrono::nanoseconds WireTime(std::size_t characters, std::size_t frames) const;
};

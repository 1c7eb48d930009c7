// SPDX-License-Identifier: Apache-2.0
#include "line/FrameTiming.h"

#include <algorithm>

namespace {

// Above this speed the standard fixes the silences instead of counting characters: a UART's
// timer cannot tell such short gaps apart reliably.
constexpr int kFixedSilenceAboveBaud = 19200;
constexpr std::chrono::microseconds kFixedSilence{1750};
constexpr std::chrono::microseconds kFixedInnerGap{750};

}  // namespace

int FrameTiming::BitsPerCharacter(int dataBits, char parity, int stopBits) {
  return 1 + dataBits + (parity == 'N' ? 0 : 1) + stopBits;
}

FrameTiming FrameTiming::Of(int baudRate, int dataBits, char parity, int stopBits,
                            int leastSilenceUs) {
  FrameTiming timing;
  const long long bits = BitsPerCharacter(dataBits, parity, stopBits);
  timing.character = std::chrono::nanoseconds(bits * 1000000000LL / std::max(baudRate, 1));
  if (baudRate > kFixedSilenceAboveBaud) {
    timing.silence = kFixedSilence;
    timing.innerGap = kFixedInnerGap;
  } else {
    timing.silence = timing.character * 7 / 2;
    timing.innerGap = timing.character * 3 / 2;
  }
  timing.silence =
      std::max<std::chrono::nanoseconds>(timing.silence, std::chrono::microseconds(leastSilenceUs));
  return timing;
}

FrameTiming FrameTiming::Of(const LineConfig& line) {
  return Of(line.baudRate, line.dataBits, line.parity, line.stopBits, line.frameSilenceUs);
}

std::chrono::nanoseconds FrameTiming::WireTime(std::size_t characters, std::size_t frames) const {
  return character * static_cast<long long>(characters) + silence * static_cast<long long>(frames);
}

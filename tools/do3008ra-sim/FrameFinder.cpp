// SPDX-License-Identifier: Apache-2.0
#include "FrameFinder.h"

#include <algorithm>

namespace {

// Above this speed the silences are fixed instead of counted in characters.
constexpr int kFixedSilenceAboveBaud = 19200;

// The length of a request of the functions the sensor knows, once its head has come; 0 while
// it cannot be told.
std::size_t RequestLength(const std::vector<uint8_t>& bytes) {
  constexpr std::size_t kFixedRequest = 8;  // address, function, register, count or value, CRC
  if (bytes.size() < 2) return 0;
  switch (bytes[1]) {
    case 3:
    case 4:
    case 6:
      return kFixedRequest;
    case 16:
      return bytes.size() > 6 ? kFixedRequest + 1 + bytes[6] : 0;  // and the byte count
    default:
      return 0;
  }
}

}  // namespace

FrameFinder::Timing FrameFinder::TimingOf(int baud, int bitsPerCharacter, bool paced) {
  const std::chrono::nanoseconds character(bitsPerCharacter * 1000000000LL / std::max(baud, 1));
  Timing timing;
  timing.character = paced ? character : std::chrono::nanoseconds(0);
  const bool fixed = baud > kFixedSilenceAboveBaud;
  timing.silence = fixed ? std::chrono::microseconds(1750) : character * 7 / 2;
  timing.innerGap = fixed ? std::chrono::microseconds(750) : character * 3 / 2;
  return timing;
}

void FrameFinder::Received(const uint8_t* bytes, std::size_t count, Clock::time_point when) {
  if (count == 0) return;
  // Bytes that come while characters are still on the line follow them.
  const Clock::time_point start = std::max(when, lastEnd_);
  const auto gap = start - lastEnd_;
  if (hearing_ && gap > timing_.innerGap) hearing_->broken = true;
  if (!hearing_) {
    hearing_.emplace();
    hearing_->start = start;
    hearing_->gapBefore = gap;
    hearing_->merged = gap < timing_.silence;
  }
  // A line that never falls silent makes no frame a sensor could take: what comes beyond the
  // longest frame is not kept.
  const std::size_t room = kLongestFrame - std::min(kLongestFrame, hearing_->bytes.size());
  if (count > room) hearing_->broken = true;
  hearing_->bytes.insert(hearing_->bytes.end(), bytes, bytes + std::min(count, room));
  lastEnd_ = start + timing_.character * static_cast<long long>(count);
}

std::optional<FrameFinder::Clock::time_point> FrameFinder::Due() const {
  if (!hearing_) return std::nullopt;
  return lastEnd_ + timing_.silence;
}

std::optional<FrameFinder::Frame> FrameFinder::Complete(Clock::time_point now) {
  if (!hearing_) return std::nullopt;
  const std::size_t length = RequestLength(hearing_->bytes);
  const bool whole =
      timing_.character.count() == 0 && length != 0 && hearing_->bytes.size() >= length;
  if (!whole && now < *Due()) return std::nullopt;
  std::optional<Frame> frame = std::move(hearing_);
  hearing_.reset();
  frame->end = lastEnd_;
  // A pseudo-terminal keeps no silence between frames: requests read at once are told apart by
  // their lengths, as libmodbus reads them, and the rest is the next request's start.
  if (whole && frame->bytes.size() > length) {
    hearing_.emplace();
    hearing_->start = frame->end;
    hearing_->merged = true;
    hearing_->bytes.assign(frame->bytes.begin() + static_cast<std::ptrdiff_t>(length),
                           frame->bytes.end());
    frame->bytes.resize(length);
  }
  return frame;
}

// SPDX-License-Identifier: Apache-2.0
// The silence a line keeps before each request, from its speed and character framing: a parity
// bit or a second stop bit left out, the fixed silence above 19200 baud missed or a configured
// silence that shortens the standard's would each let requests start inside the frame before.
#include <gtest/gtest.h>

#include "line/FrameTiming.h"
#include "line/LineSilence.h"

namespace {

using std::chrono::microseconds;
using std::chrono::nanoseconds;

struct Framing {
  int baud;
  int dataBits;
  char parity;
  int stopBits;
  long long characterNs;
  long long silenceNs;
};

TEST(FrameTiming, CharacterAndSilenceFollowSpeedAndFraming) {
  const Framing framings[] = {
      {9600, 8, 'N', 1, 1041666, 3645831},   {9600, 8, 'E', 1, 1145833, 4010415},
      {9600, 8, 'N', 2, 1145833, 4010415},   {9600, 7, 'O', 1, 1041666, 3645831},
      {1200, 8, 'E', 2, 10000000, 35000000}, {19200, 8, 'N', 1, 520833, 1822915},
      {38400, 8, 'E', 1, 286458, 1750000},   {115200, 8, 'N', 1, 86805, 1750000},
  };
  for (const Framing& f : framings) {
    const FrameTiming timing = FrameTiming::Of(f.baud, f.dataBits, f.parity, f.stopBits);
    SCOPED_TRACE(std::to_string(f.baud) + " " + std::to_string(f.dataBits) + f.parity +
                 std::to_string(f.stopBits));
    EXPECT_EQ(timing.character.count(), f.characterNs);
    EXPECT_EQ(timing.silence.count(), f.silenceNs);
  }
  EXPECT_EQ(FrameTiming::Of(115200, 8, 'N', 1).innerGap, microseconds(750));
  EXPECT_EQ(FrameTiming::Of(9600, 8, 'N', 1).innerGap.count(), 1562499);
}

TEST(FrameTiming, AConfiguredSilenceOnlyLengthensTheStandardOne) {
  EXPECT_EQ(FrameTiming::Of(9600, 8, 'N', 1, 1000).silence.count(), 3645831);
  EXPECT_EQ(FrameTiming::Of(115200, 8, 'N', 1, 5000).silence, microseconds(5000));
  LineConfig line;
  line.baudRate = 57600;
  line.frameSilenceUs = 2500;
  EXPECT_EQ(FrameTiming::Of(line).silence, microseconds(2500));
  // One round of one sensor in mode 5 at 9600 8N1: 114 characters in 12 frames, 162.5 ms.
  EXPECT_EQ(FrameTiming::Of(9600, 8, 'N', 1).WireTime(114, 12).count() / 100000, 1624);
}

TEST(LineSilence, CountsFromTheLastByteEitherWay) {
  LineSilence silence(FrameTiming::Of(9600, 8, 'N', 1));
  const LineSilence::Clock::time_point read{std::chrono::seconds(10)};
  silence.Heard(read);
  // Bytes written after the answer came are on the line until their last one has left.
  const auto written = silence.SentBy(read + microseconds(100), 8);
  silence.Heard(written);
  silence.Heard(read);  // an earlier time never shortens the silence
  EXPECT_EQ(silence.NextFrameAt() - read,
            microseconds(100) + nanoseconds(8 * 1041666) + nanoseconds(3645831));
  silence.Retime(FrameTiming::Of(115200, 8, 'N', 1));
  EXPECT_EQ(silence.NextFrameAt() - written, microseconds(1750));
}

}  // namespace

// SPDX-License-Identifier: Apache-2.0
// The serial line's exchanges on a real pseudo-terminal whose other end this test holds.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "line/SerialLine.h"

namespace {

struct SilentSensor : ::testing::Test {
  void SetUp() override {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    config.device = ptsname(master);
    config.responseTimeoutMs = 40;
  }
  void TearDown() override {
    if (master >= 0) close(master);
  }
  // Everything the sensor's end of the line could read now.
  std::vector<uint8_t> Received() const {
    std::vector<uint8_t> bytes;
    uint8_t chunk[64];
    ssize_t length;
    while ((length = read(master, chunk, sizeof chunk)) > 0)
      bytes.insert(bytes.end(), chunk, chunk + length);
    return bytes;
  }
  int master = -1;
  LineConfig config;
};

// A sensor slow to read its line (a busy machine) still gets every request: the host gives up on
// the answer, but never takes back the request it wrote, as a wire could not. Otherwise the
// sensor misses a poll the host counts as failed.
TEST_F(SilentSensor, ARequestThatTimedOutStillReachesTheSensor) {
  SerialLine line(config);
  ModbusRequest request;
  request.function = ModbusRequest::kReadHolding;
  request.address = 0;
  request.count = 4;
  for (int poll = 0; poll < 2; ++poll) EXPECT_FALSE(line.Perform(12, request).answered);
  const std::vector<uint8_t> frame{12, 3, 0, 0, 0, 4};
  const std::vector<uint8_t> bytes = Received();
  ASSERT_EQ(bytes.size(), 16u) << "both requests, 8 bytes each";
  for (std::size_t start : {0u, 8u}) {
    EXPECT_TRUE(std::equal(frame.begin(), frame.end(), bytes.begin() + start));
  }
}

}  // namespace

// SPDX-License-Identifier: Apache-2.0
// The number text of alarm and value texts against the C library's "%.9g", over floats from
// the whole range: subnormals, the exponent-form boundaries, integers, halves and odd fractions.
// Both ways of making it are checked, the one this toolchain uses and the one older ones use.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "unidata/float_text.h"

namespace {

std::string PrintfText(float value) {
  char text[48];
  std::snprintf(text, sizeof text, "%.*g", 9, static_cast<double>(value));
  return text;
}

std::string FmtText(float value) {
  char text[unidata::detail::kFloatTextCapacity];
  return std::string(text, unidata::detail::FloatTextWithFmt(static_cast<double>(value), text));
}

float FromBits(uint32_t bits) {
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

TEST(FloatTextFormat, MatchesPrintfAcrossTheFloatRange) {
  int compared = 0;
  // A stride prime to every power of two visits all exponents and many mantissa patterns.
  for (uint64_t bits = 0; bits <= 0xFFFFFFFFull; bits += 40009) {
    const float value = FromBits(static_cast<uint32_t>(bits));
    if (!std::isfinite(value)) continue;
    ASSERT_EQ(unidata::FloatText(value), PrintfText(value)) << "bits " << bits;
    ASSERT_EQ(FmtText(value), PrintfText(value)) << "bits " << bits;
    ++compared;
  }
  EXPECT_GT(compared, 100000);
}

TEST(FloatTextFormat, MatchesPrintfAtFormBoundariesAndReadings) {
  const float values[] = {0.0f,        -0.0f,     1e-5f,         1e-4f,
                          0.0001234f,  99999.99f, 999999999.f,   1e9f,
                          123456789.f, 1.5e-45f,  3.4028235e38f, -1.17549435e-38f,
                          6553.5f,     -3276.8f,  45.6f,         1013.2f};
  for (const float value : values) {
    EXPECT_EQ(unidata::FloatText(value), PrintfText(value)) << value;
    EXPECT_EQ(FmtText(value), PrintfText(value)) << value;
  }
}

}  // namespace

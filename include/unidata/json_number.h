// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cmath>
#include <limits>

#include <json/value.h>

namespace unidata {

// Single-precision value of a JSON number. A double beyond the float range becomes the float
// that IEEE rounding gives (the largest float, or an infinity of its sign) without the
// undefined narrowing of an out-of-range double; integers are narrowed directly, rounded once.
inline float JsonFloat(const Json::Value& number) {
  if (number.type() != Json::realValue) return number.asFloat();
  const double value = number.asDouble();
  const float largest = std::numeric_limits<float>::max();
  // Half a unit in the last place above the largest float: from here on rounding gives inf.
  constexpr double kOverflow = 0x1.ffffffp127;
  const float infinity = std::numeric_limits<float>::infinity();
  if (std::fabs(value) >= kOverflow) return value > 0 ? infinity : -infinity;
  if (std::fabs(value) > largest) return value > 0 ? largest : -largest;
  return static_cast<float>(value);
}

}  // namespace unidata

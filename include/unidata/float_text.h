#pragma once

#include <cmath>
#include <cstdio>
#include <string>

namespace unidata {

// Text of a float as alarm texts and value texts carry it: up to 9 significant digits ("%.*g"
// on the value widened to double), so that every float reads back to itself (23.4 gives
// 23.3999996). NaN and the infinities get fixed words rather than the C library's spelling.
inline std::string FloatText(float value) {
  if (std::isnan(value)) return std::signbit(value) ? "-nan" : "nan";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  constexpr int kSignificantDigits = 9;
  char text[32];
  std::snprintf(text, sizeof text, "%.*g", kSignificantDigits, static_cast<double>(value));
  return text;
}

}  // namespace unidata

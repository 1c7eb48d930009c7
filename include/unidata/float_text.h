#pragma once

#include <charconv>
#include <cmath>
#include <string>

namespace unidata {

// Text of a float as alarm texts and value texts carry it: up to 9 significant digits ("%.*g"
// on the value widened to double), so that every float reads back to itself (23.4 gives
// 23.3999996). NaN and the infinities get fixed words rather than the C library's spelling.
inline std::string FloatText(float value) {
  if (std::isnan(value)) return std::signbit(value) ? "-nan" : "nan";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  // std::to_chars in general form with a precision gives exactly what "%.*g" gives, without
  // the C library's format parsing and multi-precision digit loop, and whatever LC_NUMERIC
  // the host process has set: this runs for every rule in every cycle.
  constexpr int kSignificantDigits = 9;
  char text[32];
  const auto written = std::to_chars(text, text + sizeof text, static_cast<double>(value),
                                     std::chars_format::general, kSignificantDigits);
  return std::string(text, written.ptr);
}

}  // namespace unidata

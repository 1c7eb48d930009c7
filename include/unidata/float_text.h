// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <fmt/compile.h>
#include <fmt/format.h>

#include <charconv>
#include <cmath>
#include <string>

namespace unidata {
namespace detail {

// Longest text: "-1.17549435e-38".
constexpr int kFloatTextCapacity = 32;

// "%.9g" of a double with fmt, header-only and with the format compiled in: the same text, and
// nothing needed of the board's C++ runtime beyond what the rest of the plug-in needs.
inline char* FloatTextWithFmt(double value, char* text) {
  return fmt::format_to(text, FMT_COMPILE("{:.9g}"), value);
}

#if defined(__cpp_lib_to_chars)
// "%.9g" of a double with std::to_chars, which libstdc++ has from GCC 11 on (GLIBCXX_3.4.29).
// About twice as fast as fmt here (bench/float_text_bench.cpp).
inline char* FloatTextWithToChars(double value, char* text) {
  constexpr int kSignificantDigits = 9;
  return std::to_chars(text, text + kFloatTextCapacity, value, std::chars_format::general,
                       kSignificantDigits)
      .ptr;
}
#endif

}  // namespace detail

// Text of a float as alarm texts and value texts carry it: up to 9 significant digits ("%.*g"
// on the value widened to double), so that every float reads back to itself (23.4 gives
// 23.3999996). NaN and the infinities get fixed words rather than the C library's spelling.
// Neither way below parses a format at run time, runs the C library's multi-precision digit
// loop or depends on the host process's LC_NUMERIC: this runs for every rule in every cycle.
inline std::string FloatText(float value) {
  if (std::isnan(value)) return std::signbit(value) ? "-nan" : "nan";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  char text[detail::kFloatTextCapacity];
  // A toolchain whose libstdc++ has std::to_chars for floating point (GCC 11 on) already needs
  // that runtime for its own headers' code (std::allocator's __throw_bad_array_new_length), so
  // the faster way costs the board nothing; an older toolchain (a vendor SDK of GCC 10 or
  // before) takes fmt and keeps its lower floor.
#if defined(__cpp_lib_to_chars)
  char* end = detail::FloatTextWithToChars(static_cast<double>(value), text);
#else
  char* end = detail::FloatTextWithFmt(static_cast<double>(value), text);
#endif
  return std::string(text, end);
}

}  // namespace unidata

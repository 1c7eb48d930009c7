// SPDX-License-Identifier: Apache-2.0
#pragma once
// Single-precision values as the host writes them for people: the shortest decimal that reads
// back to the same float (27.9, where "%.9g" of the widened value gives 27.8999996).

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string>
#include <string_view>

// "27.9" for 27.9f; "nan", "inf", "-inf" for values that are no number.
inline std::string ShortestFloatText(float value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  char text[32];
  const auto end = std::to_chars(text, text + sizeof text, value).ptr;
  return std::string(text, end);
}

// The double of that decimal, so that a JSON writer at ten digits prints 27.9, not 27.89999962.
inline double ShortestFloatDouble(float value) {
  if (!std::isfinite(value)) return static_cast<double>(value);
  return std::strtod(ShortestFloatText(value).c_str(), nullptr);
}

// A device's value text as the host shows and keeps it: a float widened and written to nine
// significant digits ("27.8999996") becomes its shortest text ("27.9"), which reads back to the
// same float. Any other text ("28.90", a word, a double's digits) is kept as the device wrote it.
inline std::string HostValueText(const std::string& deviceText) {
  float value = 0;
  const char* first = deviceText.data();
  const char* last = first + deviceText.size();
  const auto parsed = std::from_chars(first, last, value);
  if (parsed.ec != std::errc() || parsed.ptr != last || !std::isfinite(value)) return deviceText;
  char nine[32];
  const auto end = std::to_chars(nine, nine + sizeof nine, static_cast<double>(value),
                                 std::chars_format::general, 9)
                       .ptr;
  if (deviceText != std::string_view(nine, static_cast<std::size_t>(end - nine))) return deviceText;
  return ShortestFloatText(value);
}

// SPDX-License-Identifier: Apache-2.0
// The number text of alarm and value texts ("%.9g" of a float widened to double), the two ways
// the plug-in makes it: std::to_chars with a precision (GCC 11 on) and fmt (older toolchains);
// and the C library's snprintf for scale.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "unidata/float_text.h"

namespace {

// Readings and limits as a mode-5 cycle formats them, and a few values of other magnitudes.
constexpr float kValues[] = {23.4f, 45.6f, 1013.2f, 30.0f,    -5.5f,     80.25f,
                             0.1f,  1e-5f, 6553.5f, -3276.8f, 123456.7f, 3.4e38f};

std::string ToCharsText(float value) {
  char text[unidata::detail::kFloatTextCapacity];
  return std::string(text, unidata::detail::FloatTextWithToChars(static_cast<double>(value), text));
}

std::string FmtText(float value) {
  char text[unidata::detail::kFloatTextCapacity];
  return std::string(text, unidata::detail::FloatTextWithFmt(static_cast<double>(value), text));
}

std::string SnprintfText(float value) {
  char text[48];
  const int length = std::snprintf(text, sizeof text, "%.9g", static_cast<double>(value));
  return std::string(text, static_cast<size_t>(length));
}

template <std::string (*Format)(float)>
void FormatAll(benchmark::State& state) {
  for (const float value : kValues) {
    if (Format(value) != SnprintfText(value)) {
      state.SkipWithError(("text differs from %.9g for " + SnprintfText(value)).c_str());
      return;
    }
  }
  for (auto _ : state) {
    for (const float value : kValues) benchmark::DoNotOptimize(Format(value));
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(std::size(kValues)));
}

void BM_FloatTextFmt(benchmark::State& state) { FormatAll<FmtText>(state); }
BENCHMARK(BM_FloatTextFmt);

void BM_FloatTextToChars(benchmark::State& state) { FormatAll<ToCharsText>(state); }
BENCHMARK(BM_FloatTextToChars);

void BM_FloatTextSnprintf(benchmark::State& state) { FormatAll<SnprintfText>(state); }
BENCHMARK(BM_FloatTextSnprintf);

}  // namespace

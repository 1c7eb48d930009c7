// SPDX-License-Identifier: Apache-2.0
// The poll path: one answer, whole cycles in the three configurations, and the same cycles
// with the log lines reaching a real file descriptor.
#include <benchmark/benchmark.h>

#include <fstream>
#include <iostream>

#include "support/Workload.h"

namespace {

using workload::Rig;
using workload::Setup;

void BM_PollAnswer(benchmark::State& state) {
  Rig rig(Setup::kMode0);
  const std::string broken = workload::VerifyPollAnswers(rig.device, *rig.bus);
  if (!broken.empty()) {
    state.SkipWithError(broken.c_str());
    return;
  }
  rig.device.RefreshStatus();
  for (auto _ : state) workload::RunPollAnswer(rig.device, *rig.bus);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PollAnswer);

void BM_Cycle(benchmark::State& state, Setup setup) {
  Rig rig(setup);
  const std::string broken = workload::VerifyCycle(rig.device, *rig.bus, setup);
  if (!broken.empty()) {
    state.SkipWithError(broken.c_str());
    return;
  }
  workload::QuietStdout quiet;
  for (auto _ : state) workload::RunCycle(rig.device, *rig.bus);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK_CAPTURE(BM_Cycle, Mode0, Setup::kMode0);
BENCHMARK_CAPTURE(BM_Cycle, Mode1Rules3, Setup::kMode1Rules3);
BENCHMARK_CAPTURE(BM_Cycle, Mode5Rules12, Setup::kMode5Rules12);

// The device flushes its "rvSize is" line every cycle; on the controller that flush is a write
// to whatever standard output is. Here it goes to /dev/null, system call included.
void BM_CycleLoggingToDevNull(benchmark::State& state, Setup setup) {
  Rig rig(setup);
  const std::string broken = workload::VerifyCycle(rig.device, *rig.bus, setup);
  if (!broken.empty()) {
    state.SkipWithError(broken.c_str());
    return;
  }
  std::filebuf devNull;
  devNull.open("/dev/null", std::ios::out);
  std::streambuf* previous = std::cout.rdbuf(&devNull);
  for (auto _ : state) workload::RunCycle(rig.device, *rig.bus);
  std::cout.rdbuf(previous);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK_CAPTURE(BM_CycleLoggingToDevNull, Mode5Rules12, Setup::kMode5Rules12);

}  // namespace

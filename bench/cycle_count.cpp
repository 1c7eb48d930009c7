// SPDX-License-Identifier: Apache-2.0
// Runs a fixed number of whole cycles (or poll answers) of one setup inside MeasuredCycles, so
// that callgrind can count the instructions of exactly that work (scripts/callgrind.sh):
//   valgrind --tool=callgrind --collect-atstart=no --toggle-collect=MeasuredCycles
//            bench_cycle_count mode5 1000
// Setup, configuration and a warm-up run happen outside the measured function.
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "support/Workload.h"

namespace {

enum class Work { kAnswer, kCycle };

struct Choice {
  Work work;
  workload::Setup setup;
};

bool Choose(const std::string& name, Choice& choice) {
  if (name == "answer")
    choice = {Work::kAnswer, workload::Setup::kMode0};
  else if (name == "mode0")
    choice = {Work::kCycle, workload::Setup::kMode0};
  else if (name == "mode1")
    choice = {Work::kCycle, workload::Setup::kMode1Rules3};
  else if (name == "mode5")
    choice = {Work::kCycle, workload::Setup::kMode5Rules12};
  else
    return false;
  return true;
}

}  // namespace

namespace {

__attribute__((noinline)) void RunWork(workload::Rig& rig, Work work, long count) {
  for (long i = 0; i < count; ++i) {
    if (work == Work::kAnswer) {
      workload::RunPollAnswer(rig.device, *rig.bus);
    } else {
      workload::RunCycle(rig.device, *rig.bus);
    }
  }
}

}  // namespace

// The one function whose instructions callgrind collects.
extern "C" __attribute__((noinline)) void MeasuredCycles(workload::Rig* rig, Work work,
                                                         long count) {
  RunWork(*rig, work, count);
  asm volatile("" ::: "memory");  // keeps this a call of its own
}

int main(int argc, char** argv) {
  Choice choice{};
  const long count = argc > 2 ? std::strtol(argv[2], nullptr, 10) : 0;
  if (argc != 3 || !Choose(argv[1], choice) || count <= 0) {
    std::cerr << "usage: bench_cycle_count answer|mode0|mode1|mode5 COUNT\n";
    return 2;
  }
  workload::Rig rig(choice.setup);
  const std::string broken = choice.work == Work::kAnswer
                                 ? workload::VerifyPollAnswers(rig.device, *rig.bus)
                                 : workload::VerifyCycle(rig.device, *rig.bus, choice.setup);
  if (!broken.empty()) {
    std::cerr << "bench_cycle_count: " << broken << "\n";
    return 1;
  }
  workload::QuietStdout quiet;
  if (choice.work == Work::kAnswer) rig.device.RefreshStatus();
  RunWork(rig, choice.work, 10);  // warm-up, not collected: first-use allocations
  MeasuredCycles(&rig, choice.work, count);
  return 0;
}

// SPDX-License-Identifier: Apache-2.0
// The status document: its rebuild after a new cycle and its text for code 801; the analog
// report check.
#include <benchmark/benchmark.h>

#include "support/Workload.h"

namespace {

using workload::Rig;
using workload::Setup;

void BM_GenJsonDataAfterNewCycle(benchmark::State& state) {
  Rig rig(Setup::kMode0);
  const std::string broken = workload::VerifyCycle(rig.device, *rig.bus, Setup::kMode0);
  if (!broken.empty()) {
    state.SkipWithError(broken.c_str());
    return;
  }
  rig.device.GenJsonData();
  if (!rig.device.jsonData_.isMember("温度")) {
    state.SkipWithError("GenJsonData does not fill the status document");
    return;
  }
  for (auto _ : state) {
    rig.device.jsonTime_ = boost::posix_time::ptime();  // the data time has moved
    rig.device.GenJsonData();
  }
}
BENCHMARK(BM_GenJsonDataAfterNewCycle);

void BM_StatusText801(benchmark::State& state) {
  Rig rig(Setup::kMode0);
  const std::string broken = workload::VerifyCycle(rig.device, *rig.bus, Setup::kMode0);
  if (!broken.empty()) {
    state.SkipWithError(broken.c_str());
    return;
  }
  char text[2048];
  int length = 0;
  workload::QuietStdout quiet;
  if (rig.device.DeviceIoControl(801, nullptr, 0, text, sizeof text, length) != 0 || length < 100) {
    state.SkipWithError("code 801 does not deliver the status document");
    return;
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        rig.device.DeviceIoControl(801, nullptr, 0, text, sizeof text, length));
  }
  state.SetBytesProcessed(state.iterations() * length);
}
BENCHMARK(BM_StatusText801);

// Analog report check of one signal whose setting reports on a change of 0.5. `changing`
// alternates the value by 1.0 so that every call reports; otherwise the value stands still and
// no call reports.
void BM_CheckAOReport(benchmark::State& state, bool changing) {
  Rig rig(Setup::kMode0);
  SMDVDevice::BAOSetting setting;
  setting.absEnable = true;
  setting.absThreshold = 0.5f;
  setting.lastReportValue = 20.0f;
  rig.device.baoSettings_["010100100101"] = setting;
  const std::string alarmId = "010600110101";
  const std::string signalId = "010100100101";
  if (rig.device.CheckAOReport(alarmId, signalId, 21.0f) != 1) {
    state.SkipWithError("CheckAOReport does not report a change above the threshold");
    return;
  }
  float value = 21.0f;
  for (auto _ : state) {
    if (changing) value = value == 21.0f ? 20.0f : 21.0f;
    benchmark::DoNotOptimize(rig.device.CheckAOReport(alarmId, signalId, value));
  }
}
BENCHMARK_CAPTURE(BM_CheckAOReport, Reporting, true);
BENCHMARK_CAPTURE(BM_CheckAOReport, Unchanged, false);

}  // namespace

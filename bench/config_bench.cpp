// SPDX-License-Identifier: Apache-2.0
// The configuration step with large rule sets.
#include <benchmark/benchmark.h>

#include "support/Workload.h"

namespace {

using workload::Rig;
using workload::Setup;

// Mode 1 with a rule file of 100 keys (50 in [AI], 50 in [ALARM]): lookup, INI parse, tables.
void BM_InitSettingRuleFile100Keys(benchmark::State& state) {
  Rig rig(Setup::kMode0);
  rig.scratch.WriteRuleFile(std::to_string(workload::kDataId) + ".ini",
                            workload::RuleFileWithKeys(50, 50));
  const Json::Value settings = workload::ModeSettings(1);
  rig.scratch.Enter();
  workload::QuietStdout quiet;
  rig.device.InitSetting(settings);
  if (rig.device.aiSignalMap_.size() != 50 || rig.device.alarmSignalIdMap_.size() != 50) {
    rig.scratch.Leave();
    state.SkipWithError("the rule file does not fill the tables");
    return;
  }
  for (auto _ : state) rig.device.InitSetting(settings);
  rig.scratch.Leave();
}
BENCHMARK(BM_InitSettingRuleFile100Keys);

// Mode 5 with 100 members of four limits each: 400 rules.
void BM_InitSettingThreshold100Members(benchmark::State& state) {
  Rig rig(Setup::kMode0);
  const Json::Value settings = workload::ManyThresholdMembers(100);
  workload::QuietStdout quiet;
  rig.device.InitSetting(settings);
  if (rig.device.upThresholdMap_.size() != 100 || rig.device.low2ThresholdMap_.size() != 100) {
    state.SkipWithError("the threshold settings do not fill the tables");
    return;
  }
  for (auto _ : state) rig.device.InitSetting(settings);
}
BENCHMARK(BM_InitSettingThreshold100Members);

}  // namespace

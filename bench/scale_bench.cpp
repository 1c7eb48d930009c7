// SPDX-License-Identifier: Apache-2.0
// Many devices in one process on one in-memory bus, each completing whole cycles in mode 5 with
// 12 rules. The cost per device-cycle should stay flat as the number of devices grows.
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "support/Workload.h"

namespace {

using workload::Setup;

struct Fleet {
  explicit Fleet(int size) {
    workload::FillSensorRegisters(*bus);
    bus->SetRecording(false);
    devices.reserve(static_cast<std::size_t>(size));
    for (int i = 0; i < size; ++i) {
      devices.push_back(std::make_unique<DeviceProbe>());
      devices.back()->Init(bus, 1000 + static_cast<unsigned int>(i), Json::Value());
      workload::Configure(*devices.back(), Setup::kMode5Rules12, scratch);
    }
  }
  void Sweep() {
    for (auto& device : devices) workload::RunCycle(*device, *bus);
  }
  bool AllCompleted() const {
    for (const auto& device : devices) {
      if (!device->DataReady() || device->step_ != 16) return false;
    }
    return true;
  }

  workload::ScratchDirectory scratch;
  std::shared_ptr<RecordingController> bus = std::make_shared<RecordingController>();
  std::vector<std::unique_ptr<DeviceProbe>> devices;
};

void BM_FleetCycles(benchmark::State& state) {
  const int size = static_cast<int>(state.range(0));
  Fleet fleet(size);
  workload::QuietStdout quiet;
  fleet.Sweep();
  if (!fleet.AllCompleted()) {
    state.SkipWithError("not every device completed its cycle");
    return;
  }
  for (auto _ : state) fleet.Sweep();
  state.SetItemsProcessed(state.iterations() * size);
  // Seconds per device-cycle, shown as a time.
  state.counters["per_device_cycle"] = benchmark::Counter(
      size, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_FleetCycles)->Arg(1)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace

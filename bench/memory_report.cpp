// SPDX-License-Identifier: Apache-2.0
// Heap held per device and heap traffic per cycle, counted by the replacement operator new of
// CountingAllocator.cpp. Counts are deterministic, so one run gives the figures.
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <vector>

#include "CountingAllocator.h"
#include "support/Workload.h"

namespace {

using counting_allocator::Snapshot;
using workload::Setup;

// Resident set size of the process in bytes.
long ResidentBytes() {
  long pages = 0;
  long resident = 0;
  std::ifstream("/proc/self/statm") >> pages >> resident;
  return resident * sysconf(_SC_PAGESIZE);
}

// Heap held by `count` devices after configuration and their first cycle, all on one bus.
void ReportDevices(Setup setup, int count) {
  workload::ScratchDirectory scratch;
  auto bus = std::make_shared<RecordingController>();
  workload::FillSensorRegisters(*bus);
  bus->SetRecording(false);
  std::vector<std::unique_ptr<DeviceProbe>> devices;
  devices.reserve(static_cast<std::size_t>(count));
  const long residentBefore = ResidentBytes();
  const Snapshot before = counting_allocator::Now();
  for (int i = 0; i < count; ++i) {
    devices.push_back(std::make_unique<DeviceProbe>());
    DeviceProbe& device = *devices.back();
    device.Init(bus, 1000 + static_cast<unsigned int>(i), Json::Value());
    workload::Configure(device, setup, scratch);
    workload::QuietStdout quiet;
    workload::RunCycle(device, *bus);
  }
  const Snapshot held = counting_allocator::Since(before);
  const long resident = ResidentBytes() - residentBefore;
  std::printf("%-18s %6d devices: %7.0f heap bytes/device (object %zu), %5.1f blocks/device",
              workload::Name(setup), count, double(held.bytesHeld) / count, sizeof(DeviceProbe),
              double(held.allocations - held.deallocations) / count);
  // The resident set grows by whole pages, so it says something only for many devices.
  if (count >= 1000) std::printf(", %7.0f resident bytes/device", double(resident) / count);
  std::printf("\n");
}

// Allocations, frees and net heap change per steady-state cycle (or poll answer).
void ReportTraffic(const char* label, Setup setup, bool answersOnly) {
  workload::Rig rig(setup);
  workload::QuietStdout quiet;
  constexpr int kWarmUp = 10;
  constexpr int kCount = 1000;
  if (answersOnly) rig.device.RefreshStatus();
  for (int i = 0; i < kWarmUp; ++i) {
    answersOnly ? workload::RunPollAnswer(rig.device, *rig.bus)
                : workload::RunCycle(rig.device, *rig.bus);
  }
  const Snapshot before = counting_allocator::Now();
  for (int i = 0; i < kCount; ++i) {
    answersOnly ? workload::RunPollAnswer(rig.device, *rig.bus)
                : workload::RunCycle(rig.device, *rig.bus);
  }
  const Snapshot delta = counting_allocator::Since(before);
  std::printf("%-26s %6.1f allocations, %6.1f frees, %+lld bytes held after %d\n", label,
              double(delta.allocations) / kCount, double(delta.deallocations) / kCount,
              static_cast<long long>(delta.bytesHeld), kCount);
}

}  // namespace

int main() {
  std::printf("Heap per device after configuration and the first cycle:\n");
  for (Setup setup : {Setup::kMode0, Setup::kMode1Rules3, Setup::kMode5Rules12}) {
    ReportDevices(setup, 1);
  }
  ReportDevices(Setup::kMode5Rules12, 10000);
  std::printf("\nHeap traffic per steady-state cycle:\n");
  ReportTraffic("poll answer (steps 11-15)", Setup::kMode0, true);
  ReportTraffic("cycle, mode 0", Setup::kMode0, false);
  ReportTraffic("cycle, mode 1, 3 signals", Setup::kMode1Rules3, false);
  ReportTraffic("cycle, mode 5, 12 rules", Setup::kMode5Rules12, false);
  return 0;
}

// SPDX-License-Identifier: Apache-2.0
// Heap use of the poll path, counted by the replacement operator new linked into this binary:
// answers of steps 11 to 15 allocate nothing, steady cycles hold no more heap as they repeat,
// and a device gives back all it held.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

#include <json/value.h>

#include "CountingAllocator.h"
#include "do3008ra/DO3008RAProvider.h"
#include "support/Workload.h"

namespace {

using counting_allocator::Snapshot;
using workload::Setup;

// The zero counts below mean something only if allocations in this binary and in the shared
// libraries it uses (jsoncpp, the host framework) reach the counters.
TEST(CountingAllocator, SeesAllocationsHereAndInSharedLibraries) {
  const Snapshot before = counting_allocator::Now();
  auto text = std::make_unique<std::string>(100, 'x');
  Json::Value document(Json::objectValue);
  document["key"] = std::string(64, 'y');              // allocated inside libjsoncpp
  auto bus = std::make_unique<RecordingController>();  // its register map, inside libhostfw
  const Snapshot during = counting_allocator::Since(before);
  EXPECT_GE(during.allocations, 4u);
  EXPECT_GE(during.bytesHeld, 100 + 64 + 2 * 0x10000 * 2);
  text.reset();
  bus.reset();
  document = Json::Value();
  const Snapshot after = counting_allocator::Since(before);
  EXPECT_EQ(after.allocations, after.deallocations);
  EXPECT_EQ(after.bytesHeld, 0);
}

TEST(CountingAllocator, OverAlignedBlocksKeepTheirAlignmentAndAreCounted) {
  struct alignas(64) Line {
    unsigned char bytes[64];
  };
  const Snapshot before = counting_allocator::Now();
  auto line = std::make_unique<Line>();
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(line.get()) % 64, 0u);
  EXPECT_EQ(counting_allocator::Since(before).bytesHeld, 64);
  line.reset();
  EXPECT_EQ(counting_allocator::Since(before).bytesHeld, 0);
}

// A controller runs thousands of devices: a configured device in mode 5 with twelve rules,
// after its first cycle, keeps within 4 KiB of heap, the object itself included.
TEST(DeviceHeap, ModeFiveWithTwelveRulesStaysWithinFourKiB) {
  workload::ScratchDirectory scratch;
  auto bus = std::make_shared<RecordingController>();
  workload::FillSensorRegisters(*bus);
  bus->SetRecording(false);
  const Snapshot before = counting_allocator::Now();
  auto device = std::make_unique<DeviceProbe>();
  device->Init(bus, workload::kDataId, Json::Value());
  workload::Configure(*device, Setup::kMode5Rules12, scratch);
  workload::QuietStdout quiet;
  workload::RunCycle(*device, *bus);
  ASSERT_EQ(device->upThresholdMap_.size() + device->up2ThresholdMap_.size() +
                device->lowThresholdMap_.size() + device->low2ThresholdMap_.size(),
            12u);
  ASSERT_TRUE(device->jsonData_.isMember("更新时间"));
  const int64_t held = counting_allocator::Since(before).bytesHeld;
  RecordProperty("heap_bytes", std::to_string(held));  // the figure, in the XML report
  EXPECT_LE(held, 4096);
}

class PollPath : public ::testing::TestWithParam<Setup> {};

TEST_P(PollPath, AnswersOfStepsElevenToFifteenAllocateNothing) {
  workload::Rig rig(GetParam());
  ASSERT_EQ(workload::VerifyPollAnswers(rig.device, *rig.bus), "");
  workload::QuietStdout quiet;
  rig.device.RefreshStatus();
  const Snapshot before = counting_allocator::Now();
  for (int answer = 0; answer < 500; ++answer) {
    const int step = rig.device.step_ == 16 ? 11 : rig.device.step_;
    workload::RunPollAnswer(rig.device, *rig.bus);
    ASSERT_EQ(rig.device.step_, step + 1) << "answer " << answer;
  }
  const Snapshot delta = counting_allocator::Since(before);
  EXPECT_EQ(delta.allocations, 0u);
  EXPECT_EQ(delta.deallocations, 0u);
}

TEST_P(PollPath, StartingACycleAllocatesNothing) {
  workload::Rig rig(GetParam());
  workload::QuietStdout quiet;
  workload::RunCycle(rig.device, *rig.bus);
  const Snapshot before = counting_allocator::Now();
  rig.device.RefreshStatus();
  EXPECT_EQ(counting_allocator::Since(before).allocations, 0u);
  EXPECT_EQ(rig.device.step_, 11);
}

// Whatever a cycle allocates (status texts, alarm texts) it frees again: the heap a device holds
// after the second cycle is what it holds after the hundredth.
TEST_P(PollPath, RepeatedCyclesHoldNoMoreHeap) {
  workload::Rig rig(GetParam());
  ASSERT_EQ(workload::VerifyCycle(rig.device, *rig.bus, GetParam()), "");
  workload::QuietStdout quiet;
  workload::RunCycle(rig.device, *rig.bus);
  const Snapshot before = counting_allocator::Now();
  for (int cycle = 0; cycle < 100; ++cycle) workload::RunCycle(rig.device, *rig.bus);
  EXPECT_EQ(counting_allocator::Since(before).bytesHeld, 0);
}

TEST_P(PollPath, DestroyedDeviceReturnsEveryByte) {
  {
    // Library state set up once on first use (locales, stream facets) stays for the process.
    workload::Rig warmUp(GetParam());
    workload::QuietStdout quiet;
    workload::RunCycle(warmUp.device, *warmUp.bus);
  }
  const Snapshot before = counting_allocator::Now();
  {
    auto rig = std::make_unique<workload::Rig>(GetParam());
    workload::QuietStdout quiet;
    for (int cycle = 0; cycle < 3; ++cycle) workload::RunCycle(rig->device, *rig->bus);
    EXPECT_GT(counting_allocator::Since(before).bytesHeld, 0);
  }
  EXPECT_EQ(counting_allocator::Since(before).bytesHeld, 0);
}

// A device a controller created and destroyed through the interface it knows, never
// initialised: the whole device goes, not only its interface part.
TEST(DeviceHeap, NeverInitialisedDeviceDestroyedThroughItsInterfaceReturnsEveryByte) {
  const auto providers = get_providers();
  const Snapshot before = counting_allocator::Now();
  std::unique_ptr<VDeviceInterface> device(providers[0]->create());
  EXPECT_GT(counting_allocator::Since(before).bytesHeld, 0);
  device.reset();
  const Snapshot after = counting_allocator::Since(before);
  EXPECT_EQ(after.bytesHeld, 0);
  EXPECT_EQ(after.allocations, after.deallocations);
}

std::string SetupName(const ::testing::TestParamInfo<Setup>& info) {
  switch (info.param) {
    case Setup::kMode0:
      return "Mode0";
    case Setup::kMode1Rules3:
      return "Mode1Rules3";
    case Setup::kMode5Rules12:
      return "Mode5Rules12";
  }
  return "Unknown";
}

INSTANTIATE_TEST_SUITE_P(Setups, PollPath,
                         ::testing::Values(Setup::kMode0, Setup::kMode1Rules3,
                                           Setup::kMode5Rules12),
                         SetupName);

}  // namespace

// SPDX-License-Identifier: Apache-2.0
// Several devices of one plug-in, each on its own bus thread, as a controller with several
// serial lines runs them. Nothing may be shared between devices behind the host's back: under
// ThreadSanitizer any hidden shared state (a static buffer, a cached stream, a shared table)
// shows up as a race, and without it as texts or records that belong to another device.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "do3008ra/DO3008RAProvider.h"
#include "support/DeviceProbe.h"
#include "support/JsonText.h"

namespace {

constexpr int kCycles = 150;

// Mode 5 with one upper rule on the temperature; every device gets its own limit so that its
// alarm texts can only be its own.
Json::Value SettingsWithLimit(int limit) {
  return ParseJson(R"({"appSetting": {"b_mode": 5}, "thresholdSetting": {"t": {"ID": "T01",
      "SignalName": "温度", "UpValue": )" +
                   std::to_string(limit) + R"(, "UpReconverValue": 0, "UpAlarmLevel": 2}}})");
}

struct PolledDevice {
  explicit PolledDevice(unsigned int dataId, uint16_t rawTemperature, int limit)
      : attached(dataId), raw(rawTemperature), limit(limit) {
    attached.device.InitSetting(SettingsWithLimit(limit));
    attached.controller->SetInput(1, rawTemperature);
  }

  // Full cycles on the in-memory bus, a status command after each, then a cache load.
  void Run() {
    std::vector<char> out(4096);
    for (int cycle = 0; cycle < kCycles; ++cycle) {
      attached.device.RefreshStatus();
      attached.controller->RunAll();
      int outlenRet = 0;
      statusOk += attached.device.DeviceIoControl(801, nullptr, 0, out.data(),
                                                  static_cast<int>(out.size()), outlenRet) == 0;
    }
    const std::vector<unsigned char> blob = attached.device.Record();
    cacheTaken = attached.device.LoadFromCache(blob.data(), static_cast<int>(blob.size()));
  }

  AttachedDevice attached;
  uint16_t raw;
  int limit;
  int statusOk = 0;
  int cacheTaken = 0;
};

TEST(ParallelDevicesConcurrency, DevicesOnSeparateLinesKeepTheirOwnRecordsAndAlarmTexts) {
  std::vector<std::unique_ptr<PolledDevice>> devices;
  devices.push_back(std::make_unique<PolledDevice>(21, 351, 30));   // 35.1 above 30
  devices.push_back(std::make_unique<PolledDevice>(22, 234, 20));   // 23.4 above 20
  devices.push_back(std::make_unique<PolledDevice>(23, 1005, 99));  // 100.5 above 99
  std::vector<std::thread> lines;
  for (auto& polled : devices) lines.emplace_back([&polled] { polled->Run(); });
  for (auto& line : lines) line.join();

  for (const auto& polled : devices) {
    const DeviceProbe& device = polled->attached.device;
    EXPECT_EQ(polled->statusOk, kCycles);
    EXPECT_EQ(polled->cacheTaken, 1);
    EXPECT_EQ(device.data_.dataId, device.DataId());
    EXPECT_EQ(device.data_.inputMeasure[1], polled->raw);
    const std::string valueText = FloatArg(polled->raw / 10.0f);
    const std::string expectedText =
        "当前值" + valueText + "高于阈值:" + std::to_string(polled->limit);
    const auto checks = polled->attached.controller->CallsOf("CheckThresholdBool");
    ASSERT_EQ(checks.size(), static_cast<std::size_t>(kCycles + 1));  // cycles and the cache
    for (const auto& check : checks) {
      ASSERT_EQ(check.args[3], valueText) << "data id " << device.DataId();
      ASSERT_EQ(check.args[4], expectedText) << "data id " << device.DataId();
    }
    for (const auto& saved : polled->attached.controller->CallsOf("SaveDeviceHistory")) {
      uint32_t dataId = 0;
      std::memcpy(&dataId, saved.bytes.data(), sizeof dataId);
      ASSERT_EQ(dataId, device.DataId());
    }
  }
}

TEST(ParallelDevicesConcurrency, ProviderCreatesAndDestroysDevicesOnManyThreads) {
  const auto providers = get_providers();
  ASSERT_EQ(providers.size(), 1u);
  const std::shared_ptr<Provider> provider = providers[0];
  std::vector<std::thread> threads;
  std::vector<int> created(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        const std::shared_ptr<Provider> copy = provider;  // shared ownership across threads
        std::unique_ptr<VDeviceInterface> device(copy->create());
        created[t] += device->DeviceType() == "do3008ra";
        if (i % 50 == 0) created[t] += static_cast<int>(get_providers().size()) - 1;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int count : created) EXPECT_EQ(count, 200);
  EXPECT_EQ(provider.use_count(), 2);  // the vector's and ours
}

}  // namespace

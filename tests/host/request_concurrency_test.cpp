// SPDX-License-Identifier: Apache-2.0
// Requests of the control socket, handled on another thread while the line polls: everything
// they say on the bus is said by the line's own thread, between its exchanges. Run under
// ThreadSanitizer too (scripts/sanitize.sh thread).
#include <gtest/gtest.h>

#include <thread>

#include "MemoryBus.h"
#include "config/HostConfig.h"
#include "control/RequestHandler.h"
#include "service/Host.h"
#include "support/JsonText.h"
#include "support/ScratchDirectory.h"

namespace {

TEST(RequestConcurrency, WritesFromTheServerThreadAreCarriedOutOnTheLinesThread) {
  ScratchDirectory dir(true);
  ConfigOverrides overrides;
  overrides.database = dir.Path("host.db");
  overrides.pluginDir = PLUGIN_DIR;
  const HostConfig config = ParseHostConfig(
      R"({"lines": [{"device": "/dev/memory-bus", "baudRate": 9600, "responseTimeoutMs": 100,
          "pollIntervalMs": 50, "devices": [{"plugin": "do3008ra.so", "dataId": 21,
          "slaveAddress": 4, "settings": {"appSetting": {"b_mode": 2}}}]}]})",
      dir.Path("host.json"), overrides);
  Host host(config);
  host.Start(Host::SerialLines::kLeftClosed);
  LineController& line = *host.Lines().front();
  auto owned = std::make_unique<MemoryBus>();
  MemoryBus& bus = *owned;
  bus.Slave(4) = {{0, 455}, {1, 234}, {3, 10132}, {2000, 4}, {2001, 2}};
  line.Port().Attach(std::move(owned));

  std::thread polling([&line] { line.Run(0); });
  const std::thread::id lineThread = polling.get_id();
  RequestHandler handler(host);
  std::vector<Json::Value> answers;
  for (int value = 1; value <= 3; ++value) {
    answers.push_back(ParseJson(handler(R"({"command": "write", "data_id": 21, "address": 80, )"
                                        R"("values": [)" +
                                        std::to_string(value) + "]}")));
  }
  line.Stop();
  polling.join();
  line.Close();

  for (const Json::Value& answer : answers)
    EXPECT_EQ(answer["exit_code"].asInt(), 0) << answer.toStyledString();
  EXPECT_EQ(bus.Slave(4)[80], 3u);
  EXPECT_EQ(bus.Talkers(), std::set<std::thread::id>{lineThread});
}

}  // namespace

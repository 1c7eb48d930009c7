// SPDX-License-Identifier: Apache-2.0
// Every kind of sink the host knows: adding one is its folder, its row here (declared here, defined
// there) and its block in config/SinkBlocks.cpp.
#include "cli/SinkRegistry.h"

// The MQTT bridge (mqtt/Bridge.cpp): the configuration's "mqtt" member (kept in HostConfig::mqtt),
// built for every device the host runs and every alarm the store knows; each device's link queues
// its messages and sends them from a network thread of its own. Throws StoreError when the
// database cannot be read.
SinkKind MqttSinkKind();
// The Prometheus endpoint (prometheus/PrometheusSink.cpp): the configuration's "prometheus"
// member, an HTTP server answering GET /metrics with what every device measured in its last
// cycle, its link, its alarm rules and its counters. It never blocks a line: the lines update a
// book under a short lock, and each scrape renders from a copy of it.
SinkKind PrometheusSinkKind();

const std::vector<SinkKind>& SinkKinds() {
  static const std::vector<SinkKind> kinds = {
      MqttSinkKind(),
      PrometheusSinkKind(),
  };
  return kinds;
}

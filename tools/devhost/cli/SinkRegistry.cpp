// SPDX-License-Identifier: Apache-2.0
// Every kind of sink the host knows: adding one is its own files, one line here and its block in
// config/SinkBlocks.cpp.
#include "cli/SinkRegistry.h"

#include "mqtt/Bridge.h"
#include "prometheus/PrometheusSink.h"

const std::vector<SinkKind>& SinkKinds() {
  static const std::vector<SinkKind> kinds = {
      MqttSinkKind(),
      PrometheusSinkKind(),
  };
  return kinds;
}

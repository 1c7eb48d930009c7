// SPDX-License-Identifier: Apache-2.0
// The block of every kind of sink the host knows: adding a sink is its own parser and one entry
// here, besides its kind in cli/SinkRegistry.cpp.
#include "config/SinkBlocks.h"

#include "config/HostConfig.h"
#include "config/MqttConfig.h"
#include "config/PrometheusConfig.h"

namespace {

SinkBlock MqttBlock() {
  SinkBlock block;
  block.member = "mqtt";
  block.members = {"host",       "port",     "clientId",      "prefix",          "qos",
                   "keepAliveS", "username", "password",      "passwordFile",    "caFile",
                   "certFile",   "keyFile",  "homeAssistant", "discoveryPrefix", "queueLimit"};
  block.parse = [](const Json::Value& value, const std::string& base, HostConfig& config) {
    config.mqtt = ParseMqtt(value, base);
  };
  return block;
}

SinkBlock PrometheusBlock() {
  SinkBlock block;
  block.member = "prometheus";
  block.members = {"listen"};
  block.parse = [](const Json::Value& value, const std::string&, HostConfig& config) {
    config.sinks["prometheus"] = ParsePrometheus(value);
  };
  return block;
}

}  // namespace

const std::vector<SinkBlock>& SinkBlocks() {
  static const std::vector<SinkBlock> blocks = {MqttBlock(), PrometheusBlock()};
  return blocks;
}

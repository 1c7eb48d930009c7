// SPDX-License-Identifier: Apache-2.0
// The block of every kind of sink the host knows: adding a sink is the struct of its block (a
// header here), its parser and one entry in this file, besides its kind in cli/SinkRegistry.cpp.
// MQTT's block, the largest, has its parser in a file of its own.
#include "config/SinkBlocks.h"

#include <arpa/inet.h>

#include "config/Fields.h"
#include "config/HostConfig.h"
#include "config/MqttConfig.h"
#include "config/PrometheusConfig.h"

namespace {

bool IsNumericAddress(const std::string& text) {
  unsigned char bytes[16];
  return inet_pton(AF_INET, text.c_str(), bytes) == 1 ||
         inet_pton(AF_INET6, text.c_str(), bytes) == 1;
}

bool IsPortText(const std::string& text) {
  if (text.empty() || text.size() > 5) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  const int port = std::stoi(text);
  return port >= 1 && port <= 65535;
}

// "HOST:PORT" or "[V6]:PORT"; throws ConfigError naming prometheus.listen.
PrometheusConfig ParsePrometheus(const Json::Value& block) {
  RequireObject(block, "prometheus");
  const Fields fields(block, "prometheus.");
  PrometheusConfig config;
  if (!fields.Has("listen")) return config;
  const std::string listen = fields.Text("listen", true);
  const auto colon = listen.rfind(':');
  std::string address = colon == std::string::npos ? "" : listen.substr(0, colon);
  const std::string port = colon == std::string::npos ? "" : listen.substr(colon + 1);
  if (address.size() > 2 && address.front() == '[' && address.back() == ']') {
    address = address.substr(1, address.size() - 2);
  }
  if (!IsNumericAddress(address) || !IsPortText(port)) {
    fields.Fail("listen",
                "expected a numeric address and a port like 127.0.0.1:9108 or [::1]:9108, got '" +
                    listen + "'");
  }
  config.address = address;
  config.port = std::stoi(port);
  return config;
}

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

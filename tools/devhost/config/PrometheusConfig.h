// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>

// Where the Prometheus endpoint listens: the configuration's "prometheus" member,
// {"listen": "127.0.0.1:9108"}; loopback unless told otherwise.
struct PrometheusConfig {
  std::string address = "127.0.0.1";  // a numeric IPv4 or IPv6 address
  int port = 9108;
};

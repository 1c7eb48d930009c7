// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>

// One message for the broker. A retained message is the topic's current value: a newer one on
// the same topic makes an unsent older one worthless.
struct MqttMessage {
  std::string topic;
  std::string payload;
  bool retain = false;
  // An unsent message on the same topic is replaced rather than queued after (a device's state).
  bool supersede = false;
};

// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <memory>

#include "config/HostConfig.h"
#include "events/Event.h"
#include "mqtt/MqttSink.h"

class Host;

// The MQTT bridge of a running host, when the configuration has an "mqtt" member: made for every
// device the host runs (and every alarm the store knows), added to every line's events (before
// the restore, whose events it publishes too), and connecting in the background. Nothing when
// there is no "mqtt" member. Throws StoreError when the database cannot be read.
std::unique_ptr<MqttSink> StartMqttBridge(const HostConfig& config, Host& host, EventSink& notices);
// Says `offline`, disconnects, and emits each device's counts on its line (once the lines have
// stopped), where the console shows them and the store keeps them.
void StopMqttBridge(MqttSink& bridge, Host& host);

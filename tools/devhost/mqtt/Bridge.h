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
// Says `offline`, disconnects, shows each device's counts and keeps them in the database.
void StopMqttBridge(MqttSink& bridge, const HostConfig& config, EventSink& notices);

// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "sinks/SinkKind.h"

// The MQTT bridge as a kind of sink: the configuration's "mqtt" member (kept in
// HostConfig::mqtt), built for every device the host runs and every alarm the store knows; each
// device's link queues its messages and sends them from a network thread of its own. Throws
// StoreError when the database cannot be read.
SinkKind MqttSinkKind();

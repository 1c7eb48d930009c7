// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "sinks/SinkKind.h"

// The MQTT bridge as a kind of sink: the configuration's "mqtt" member (kept in
// HostConfig::mqtt), a sink that may block (a socket per device), built for every device the host
// runs and every alarm the store knows. Throws StoreError when the database cannot be read.
SinkKind MqttSinkKind();

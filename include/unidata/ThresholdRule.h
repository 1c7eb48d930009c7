// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>
#include <tuple>

// Alarm identifier, limit, recover value, alarm active, alarm level.
using ThresholdRule = std::tuple<std::string, float, float, bool, int>;

// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "config/HostConfig.h"

// A change of the device verified earlier whose configuration file does not say it yet (its
// client could not write the file): the record beside the database is then the only trace of
// where the sensor went, and another change of the device would replace it. Says what to set
// first; nothing when there is no such change.
std::optional<std::string> UnfollowedChange(const HostConfig& config, uint32_t dataId);

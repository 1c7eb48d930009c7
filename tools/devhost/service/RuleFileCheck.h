// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <optional>
#include <string>

#include <json/value.h>

// In rule-file mode a device reads its rule file itself, whole, from ./ini/ under the working
// directory. The host looks first, as the device will, and refuses (ConfigError) a candidate it
// would read that is not a regular file of at most 1 MiB: a FIFO would hang the start, a link
// to /dev/zero would fill the memory. A device in rule-file mode that finds no file evaluates
// no rule and reports nothing, without a word: the warning to show for it is returned.
std::optional<std::string> CheckRuleFile(uint32_t dataId, const std::string& deviceType,
                                         const Json::Value& settings, const std::string& workDir);

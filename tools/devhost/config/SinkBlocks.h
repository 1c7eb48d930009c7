// SPDX-License-Identifier: Apache-2.0
#pragma once
// The configuration blocks of the sinks (sinks/SinkKind.h): each block's member, the members
// the block knows and the sink's own parser of it. The configuration reads every block through
// this table and the unknown-member warning learns each block's members from it.

#include <functional>
#include <string>
#include <vector>

#include <json/value.h>

struct HostConfig;

struct SinkBlock {
  std::string member;                // the configuration's member: "mqtt"
  std::vector<std::string> members;  // the members of its block that it knows
  // Reads the block into `config`; throws ConfigError naming the member that is wrong.
  std::function<void(const Json::Value& block, const std::string& base, HostConfig& config)> parse;
};

// Every sink's block, in the order of the sink kinds (cli/SinkRegistry.h).
const std::vector<SinkBlock>& SinkBlocks();

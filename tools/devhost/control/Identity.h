// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>

#include <json/value.h>

#include "config/HostConfig.h"

// Which configuration a host runs: its file (resolved, so that two spellings of one path agree)
// and the serial devices of its lines. A request carries the one its client read; the host
// refuses one meant for another, and the client refuses an answer from another.
Json::Value HostIdentity(const HostConfig& config);
// "configuration /etc/a.json (lines /dev/ttyUSB0)", for messages; safe for any JSON value.
std::string IdentityText(const Json::Value& identity);
// Text from a peer, as a message may quote it: valid UTF-8 kept, control characters and
// invalid bytes written as \xNN.
std::string QuotedText(const std::string& text);

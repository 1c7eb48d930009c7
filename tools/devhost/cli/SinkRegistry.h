// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <vector>

#include "sinks/SinkKind.h"

// Every kind of sink the host knows, in the order they are built: the sinks below the command
// line each declare their kind, and the command line hands the list to the running sinks.
const std::vector<SinkKind>& SinkKinds();

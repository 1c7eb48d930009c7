// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "cli/Subcommand.h"

// A device command, one way whoever answers: the request goes to the host running on the
// configuration's control socket, or to a host started here when none runs; the answer is
// printed alike.
int RunDeviceCommand(const DeviceCommand& command, const CommandLine& line, Console& console);

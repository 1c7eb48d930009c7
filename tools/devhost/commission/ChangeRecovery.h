// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "config/HostConfig.h"

class LineController;

// At a host's start, before the first poll: each device of the line whose readdress or rebaud
// was interrupted (see PendingChange) is looked for where the configuration says and then where
// the change was taking it. Found at the new place, the host follows it for this run, and writes
// the configuration when the command was to; found nowhere, the notice names the scan to run.
// Every finding is a notice on the line's events.
void ResolveInterruptedChanges(LineController& line, const HostConfig& config);

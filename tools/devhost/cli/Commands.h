// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "cli/CommandLine.h"
#include "events/TimeRange.h"

// What the subcommands no running host answers share (each is declared beside the table that
// names it, cli/Subcommand.cpp).

// The --since/--until range of history and plot; UsageError for a bound that is no time.
TimeRange ParseRange(const CommandLine& line);

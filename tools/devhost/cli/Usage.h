// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>

// What devhost prints for --help, --version and under a usage error.

// Every subcommand, the options they share and the exit statuses.
std::string OverviewUsage();
// One subcommand's synopsis, what it does and its options; empty for a word that is none.
std::string SubcommandUsage(const std::string& command);
// "devhost VERSION".
std::string VersionLine();
// The line under a usage error: where the usage that applies is, the subcommand's own when
// `command` names one.
std::string UsageHint(const std::string& command);

// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>

#include "config/HostConfig.h"

// The one line a run starts with, for whoever reads a journal later: which devhost, on which
// configuration and database, with which plug-ins. "devhost 1.4.0 started: configuration
// /etc/devhost/devhost.json, database /var/lib/devhost/devhost.db (SQLite 3.46.1), plug-in
// /usr/lib/do3008ra/do3008ra.so (do3008ra version 1.4.0)".
std::string StartLine(const HostConfig& config);

// The version text a plug-in keeps in its read-only data ("do3008ra version 1.4.0", as
// `strings` shows it on a board); "version not found" when it has none.
std::string PluginVersionText(const std::string& pluginPath);

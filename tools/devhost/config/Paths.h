// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>

// Path helpers: the configuration anchors its relative paths at its own directory.
std::string CurrentDirectory();
// `path` itself when absolute, else `base`/`path`, lexically normalised.
std::string AbsolutePath(const std::string& path, const std::string& base);
std::string DirectoryOf(const std::string& path);
// `path` with its extension replaced (or added).
std::string WithExtension(const std::string& path, const std::string& extension);
// Where the packages install the plug-ins, found from the running program: PREFIX/lib/do3008ra
// beside PREFIX/bin/devhost. Empty when the program's path cannot be read.
std::string InstalledPluginDir();
// Where a plug-in named `path` in the configuration is loaded from: `path` itself when absolute,
// else under `base`; when that is no file and `fallback` is given, under `fallback` if there.
std::string PluginPath(const std::string& path, const std::string& base,
                       const std::string& fallback);

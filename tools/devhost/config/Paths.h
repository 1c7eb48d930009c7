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

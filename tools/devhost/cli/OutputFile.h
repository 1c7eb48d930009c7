// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>

// Writes `data` as the whole of the file at `path`, or nothing: a regular file is written
// beside it under a temporary name and renamed over it once written, flushed and closed, so a
// failure (a full disk) leaves the old file, or none, and no part of the new one. Anything else
// (a device, a pipe) is written in place, every write checked. StoreError naming the reason.
void WriteWholeFile(const std::string& path, const std::string& data);

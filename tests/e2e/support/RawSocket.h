// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <chrono>
#include <string>

// A client of the host's control socket that sends whatever bytes a test gives it.

// Sends raw bytes to the socket and returns what comes back before the host closes;
// "(no connection)" when nobody listens.
std::string RawRequest(const std::string& path, const std::string& bytes,
                       std::chrono::milliseconds idleFirst = std::chrono::milliseconds(0));
// A connection that says nothing; its descriptor (-1 when nobody listens).
int SilentClient(const std::string& path);

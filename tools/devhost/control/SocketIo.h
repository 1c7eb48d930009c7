// SPDX-License-Identifier: Apache-2.0
#pragma once
// Reading and writing a stream socket with a deadline and a size limit, so that a peer that
// sends nothing, too much or never reads cannot hold the side that serves it.

#include <chrono>
#include <cstddef>
#include <stdexcept>
#include <string>

struct ControlError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

using Deadline = std::chrono::steady_clock::time_point;

enum class ReadEnd { kComplete, kTimedOut, kTooLarge, kFailed, kMore };

// Reads until the peer ends its side or sends a newline (the end of one request), at most
// `limit` bytes.
// A descriptor whose becoming readable ends every wait of this process at once (a client's
// stop pipe: Ctrl-C); -1, the default: none.
void SetWaitBreaker(int fd);
// Whether the breaker ended the waits.
bool WaitBroken();
ReadEnd ReadMessage(int fd, std::string& message, std::size_t limit, Deadline deadline);
// Reads what has arrived without waiting: kMore when the request is not whole yet.
ReadEnd ReadAvailable(int fd, std::string& message, std::size_t limit);
// Writes all of `data`; false when the peer went away or the deadline passed.
bool WriteAll(int fd, const std::string& data, Deadline deadline);

// The address of a Unix-domain socket at `path`; ControlError when the path is too long.
struct sockaddr_un UnixAddress(const std::string& path);

// SPDX-License-Identifier: Apache-2.0
#include "control/SocketIo.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace {

// Milliseconds left until the deadline, at least 0.
int MillisecondsLeft(Deadline deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

std::atomic<int> waitBreaker{-1};

bool Readable(int fd) {
  pollfd watched{fd, POLLIN, 0};
  return fd >= 0 && poll(&watched, 1, 0) > 0;
}

// Waits for `events` on `fd`; false on timeout, error or once the breaker is readable.
bool WaitFor(int fd, short events, Deadline deadline) {
  for (;;) {
    pollfd watched[2] = {{fd, events, 0}, {waitBreaker, POLLIN, 0}};
    const int ready = poll(watched, waitBreaker >= 0 ? 2 : 1, MillisecondsLeft(deadline));
    if (ready > 0) return watched[1].revents == 0;
    if (ready == 0 || errno != EINTR) return false;
  }
}

}  // namespace

void SetWaitBreaker(int fd) { waitBreaker = fd; }

bool WaitBroken() { return Readable(waitBreaker); }

ReadEnd ReadMessage(int fd, std::string& message, std::size_t limit, Deadline deadline) {
  for (;;) {
    if (!WaitFor(fd, POLLIN, deadline)) return ReadEnd::kTimedOut;
    const ReadEnd end = ReadAvailable(fd, message, limit);
    if (end != ReadEnd::kMore) return end;
  }
}

ReadEnd ReadAvailable(int fd, std::string& message, std::size_t limit) {
  char buffer[4096];
  for (;;) {
    const ssize_t got = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (got < 0) {
      if (errno == EINTR) continue;
      return errno == EAGAIN ? ReadEnd::kMore : ReadEnd::kFailed;
    }
    if (got == 0) return ReadEnd::kComplete;
    const char* newline = static_cast<const char*>(std::memchr(buffer, '\n', got));
    const std::size_t take = newline ? static_cast<std::size_t>(newline - buffer) : got;
    if (message.size() + take > limit) return ReadEnd::kTooLarge;
    message.append(buffer, take);
    if (newline != nullptr) return ReadEnd::kComplete;
  }
}

bool WriteAll(int fd, const std::string& data, Deadline deadline) {
  std::size_t sent = 0;
  while (sent < data.size()) {
    if (!WaitFor(fd, POLLOUT, deadline)) return false;
    const ssize_t put =
        send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (put < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return false;
    }
    sent += static_cast<std::size_t>(put);
  }
  return true;
}

sockaddr_un UnixAddress(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) {
    throw ControlError("control socket path " + path + " is longer than " +
                       std::to_string(sizeof address.sun_path - 1) +
                       " bytes; set a shorter \"controlSocket\"");
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return address;
}

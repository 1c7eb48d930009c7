// SPDX-License-Identifier: Apache-2.0
#include "RawSocket.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <thread>

int SilentClient(const std::string& path) {
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

std::string RawRequest(const std::string& path, const std::string& bytes,
                       std::chrono::milliseconds idleFirst) {
  const int fd = SilentClient(path);
  if (fd < 0) return "(no connection)";
  std::this_thread::sleep_for(idleFirst);
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t put = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (put <= 0) break;  // the host stopped reading: too much
    sent += static_cast<std::size_t>(put);
  }
  shutdown(fd, SHUT_WR);
  std::string answer;
  char buffer[4096];
  for (ssize_t got; (got = recv(fd, buffer, sizeof buffer, 0)) > 0;) answer.append(buffer, got);
  close(fd);
  return answer;
}

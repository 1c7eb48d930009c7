// SPDX-License-Identifier: Apache-2.0
#include "config/BoundedFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

std::optional<std::string> StatProblem(const struct stat& info, std::size_t limit) {
  if (!S_ISREG(info.st_mode)) return std::string("is not a regular file");
  if (static_cast<unsigned long long>(info.st_size) > limit) {
    return "is larger than " + SizeText(limit);
  }
  return std::nullopt;
}

}  // namespace

std::string SizeText(std::size_t bytes) {
  if (bytes % (1024 * 1024) == 0) return std::to_string(bytes / (1024 * 1024)) + " MiB";
  if (bytes % 1024 == 0) return std::to_string(bytes / 1024) + " KiB";
  return std::to_string(bytes) + " bytes";
}

std::optional<std::string> FileProblem(const std::string& path, std::size_t limit) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return std::nullopt;
  return StatProblem(info, limit);
}

BoundedRead ReadBoundedFile(const std::string& path, std::size_t limit) {
  BoundedRead read;
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    read.error = errno;
    return read;
  }
  read.opened = true;
  struct stat info {};
  if (fstat(fd, &info) != 0) {
    read.problem = "cannot be looked at";
  } else if (const auto problem = StatProblem(info, limit)) {
    read.problem = *problem;
  }
  read.mode = info.st_mode & 07777;
  char buffer[8192];
  while (read.problem.empty()) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) read.problem = "cannot be read";
    if (got <= 0) break;
    read.text.append(buffer, static_cast<std::size_t>(got));
    // It grew after the size was looked at.
    if (read.text.size() > limit) read.problem = "is larger than " + SizeText(limit);
  }
  close(fd);
  if (!read.problem.empty()) read.text.clear();
  return read;
}

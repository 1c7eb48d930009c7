// SPDX-License-Identifier: Apache-2.0
#include "store/FileCut.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace {

constexpr int kHeaderBytes = 100;
constexpr char kMagic[] = "SQLite format 3";

unsigned long BigEndian(const unsigned char* bytes, int count) {
  unsigned long value = 0;
  for (int i = 0; i < count; ++i) value = (value << 8) | bytes[i];
  return value;
}

// The size the header gives the file; 0 when it gives none (stale, or no header at all).
long long HeaderSize(const unsigned char* header) {
  // The page count is valid while the version it was written at matches the change counter.
  if (BigEndian(header + 92, 4) != BigEndian(header + 24, 4)) return 0;
  const unsigned long pageSize = BigEndian(header + 16, 2);
  return static_cast<long long>(pageSize == 1 ? 65536 : pageSize) *
         static_cast<long long>(BigEndian(header + 28, 4));
}

}  // namespace

std::optional<std::string> FileCut::Check(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat file {};
  unsigned char header[kHeaderBytes] = {};
  const bool read = fstat(fd, &file) == 0 && pread(fd, header, kHeaderBytes, 0) >= 0;
  close(fd);
  if (!read) return std::nullopt;
  const long long size = file.st_size;
  const long long before = lastSize_;
  lastSize_ = size;
  if (before < 0 || size >= before) return std::nullopt;
  const bool headerGone = size < kHeaderBytes || std::memcmp(header, kMagic, sizeof kMagic) != 0;
  const long long expected = headerGone ? before : HeaderSize(header);
  if (!headerGone && size >= expected) return std::nullopt;
  return std::to_string(size) + " bytes, " + std::to_string(expected) +
         (headerGone ? " before, no header left" : " by its header");
}

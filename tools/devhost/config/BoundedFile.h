// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstddef>
#include <optional>
#include <string>

// Files the configuration names are read whole into memory: only a regular file of bounded
// size is taken, so that a FIFO cannot hang the start and /dev/zero cannot fill the memory.
constexpr std::size_t kConfigFileLimit = 1024 * 1024;
constexpr std::size_t kPasswordFileLimit = 64 * 1024;
constexpr std::size_t kPluginFileLimit = 256 * 1024 * 1024;

// "64 KiB", "1 MiB".
std::string SizeText(std::size_t bytes);

// What keeps `path` from being read as a file of at most `limit` bytes ("is not a regular
// file", "is larger than 1 MiB"), judged by stat (links followed); nothing when it would do or
// when it cannot be looked at (the read then says why).
std::optional<std::string> FileProblem(const std::string& path, std::size_t limit);

struct BoundedRead {
  bool opened = false;  // false: the file cannot be opened (errno kept in `error`)
  std::string problem;  // set when opened but not taken (see FileProblem)
  std::string text;     // the whole file when neither
  int error = 0;
  unsigned mode = 0;  // permission bits of the file opened
};
// Opens without waiting (a FIFO does not block), then reads at most `limit` bytes.
BoundedRead ReadBoundedFile(const std::string& path, std::size_t limit);

// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <optional>
#include <string>

// Whether a database file was cut short in place (emptied with `: > file`, or truncated), which
// its inode, unchanged, does not tell. SQLite never shrinks the file but by a checkpoint after a
// VACUUM, which writes the smaller page count into the header first: a file smaller than at the
// last look and smaller than its own header says, or without a header, was cut by someone else.
// A file that grows (a checkpoint on its way) is never taken for cut.
class FileCut {
 public:
  // What was found at `path`, for a person; nothing while the file is whole or absent.
  std::optional<std::string> Check(const std::string& path);

 private:
  long long lastSize_ = -1;
};

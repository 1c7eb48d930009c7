// SPDX-License-Identifier: Apache-2.0
#include "config/Paths.h"

#include <filesystem>

namespace fs = std::filesystem;

std::string CurrentDirectory() {
  std::error_code error;
  const fs::path here = fs::current_path(error);
  return error ? std::string(".") : here.string();
}

std::string AbsolutePath(const std::string& path, const std::string& base) {
  const fs::path given(path);
  fs::path whole = (given.is_absolute() ? given : fs::path(base) / given).lexically_normal();
  // "dir/." normalises to "dir/"; the folder is named without the trailing separator.
  if (whole.has_relative_path() && !whole.has_filename()) whole = whole.parent_path();
  return whole.string();
}

std::string DirectoryOf(const std::string& path) { return fs::path(path).parent_path().string(); }

std::string WithExtension(const std::string& path, const std::string& extension) {
  return fs::path(path).replace_extension(extension).string();
}

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

std::string InstalledPluginDir() {
  std::error_code error;
  const fs::path program = fs::read_symlink("/proc/self/exe", error);
  if (error || program.empty()) return {};
  return (program.parent_path().parent_path() / "lib" / "do3008ra").string();
}

std::string PluginPath(const std::string& path, const std::string& base,
                       const std::string& fallback) {
  const std::string beside = AbsolutePath(path, base);
  if (fs::path(path).is_absolute() || fallback.empty()) return beside;
  std::error_code error;
  if (fs::exists(beside, error)) return beside;
  const std::string installed = AbsolutePath(path, fallback);
  return fs::is_regular_file(installed, error) ? installed : beside;
}

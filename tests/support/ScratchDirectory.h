// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

// A fresh temporary directory, removed with everything in it when the helper goes. With
// `enter` set it is also the working directory for the helper's lifetime, and the previous one
// is restored afterwards, so tests of ./ini/ lookups see only the files they made.
class ScratchDirectory {
 public:
  explicit ScratchDirectory(bool enter = false) {
    std::string pattern = (std::filesystem::temp_directory_path() / "do3008ra-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
    if (enter) {
      previous_ = std::filesystem::current_path();
      std::filesystem::current_path(path_);
    }
  }
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;
  ~ScratchDirectory() {
    std::error_code ignored;
    if (!previous_.empty()) std::filesystem::current_path(previous_, ignored);
    std::filesystem::remove_all(path_, ignored);
  }

  // Writes a file below the directory, making its parent directories; returns its full path.
  std::string Write(const std::string& relative, const std::string& text) const {
    const auto file = path_ / relative;
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << text;
    return file.string();
  }
  std::string MakeDirectory(const std::string& relative) const {
    std::filesystem::create_directories(path_ / relative);
    return (path_ / relative).string();
  }
  std::string Path(const std::string& relative) const { return (path_ / relative).string(); }

 private:
  std::filesystem::path path_;
  std::filesystem::path previous_;
};

// SPDX-License-Identifier: Apache-2.0
#include "TempDir.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <vector>

TempDir::TempDir() {
  const std::string base = std::filesystem::temp_directory_path().string() + "/devhost-e2e-XXXXXX";
  std::vector<char> name(base.begin(), base.end());
  name.push_back('\0');
  if (mkdtemp(name.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = name.data();
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void TempDir::Write(const std::string& name, const std::string& text) const {
  std::ofstream file(Path(name), std::ios::binary | std::ios::trunc);
  file << text;
}

// SPDX-License-Identifier: Apache-2.0
#include "cli/PluginLog.h"

#include <cstdio>
#include <utility>

PluginLog::PluginLog(std::string path, long limit) : path_(std::move(path)), limit_(limit) {}

PluginLog::~PluginLog() {
  if (file_ != nullptr) std::fclose(file_);
}

bool PluginLog::Open() {
  if (file_ != nullptr) return true;
  if (failed_) return false;
  file_ = std::fopen(path_.c_str(), "a");
  if (file_ == nullptr) {
    failed_ = true;
    return false;
  }
  std::fseek(file_, 0, SEEK_END);
  size_ = std::ftell(file_);
  return true;
}

int PluginLog::overflow(int c) {
  if (c == traits_type::eof()) return traits_type::not_eof(c);
  const char byte = traits_type::to_char_type(c);
  xsputn(&byte, 1);
  return c;
}

// Lines are never lost to the stream's own state: a failed file only drops them.
std::streamsize PluginLog::xsputn(const char* data, std::streamsize size) {
  if (!Open()) return size;
  size_ += static_cast<long>(std::fwrite(data, 1, static_cast<std::size_t>(size), file_));
  if (size_ >= limit_ && size > 0 && data[size - 1] == '\n') Rotate();
  return size;
}

int PluginLog::sync() {
  if (file_ != nullptr) std::fflush(file_);
  return 0;
}

void PluginLog::Rotate() {
  std::fclose(file_);
  file_ = nullptr;
  std::rename(path_.c_str(), (path_ + ".1").c_str());
  Open();
}

// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdio>
#include <streambuf>
#include <string>

// Where the plug-ins' diagnostic lines go: a file of bounded size. A poll writes a line or two,
// so a host that runs for months under a service manager would otherwise fill its journal or
// its disk. Past `limit` bytes the file becomes FILE.1 (the one before is dropped) and a new
// FILE begins. The file is opened at the first line, so commands whose plug-ins say nothing
// leave none; a file that cannot be opened or written drops the lines.
class PluginLog : public std::streambuf {
 public:
  static constexpr long kDefaultLimit = 1024 * 1024;

  explicit PluginLog(std::string path, long limit = kDefaultLimit);
  ~PluginLog() override;
  PluginLog(const PluginLog&) = delete;
  PluginLog& operator=(const PluginLog&) = delete;

  // Opens the file now: false when it cannot be.
  bool Open();

 protected:
  int overflow(int c) override;
  std::streamsize xsputn(const char* data, std::streamsize size) override;
  int sync() override;

 private:
  void Rotate();

  const std::string path_;
  const long limit_;
  std::FILE* file_ = nullptr;
  bool failed_ = false;
  long size_ = 0;
};

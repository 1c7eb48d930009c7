// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <sys/types.h>

#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "SensorRegisters.h"

// What a control file asks for: registers to hold at a value, and the lines it could not use.
struct ControlText {
  std::vector<SensorRegisters::Pin> pins;
  std::vector<std::string> errors;  // "line 3: ..."
};

// Lines `input 1 = 315`, `holding 80 = -5`, `i1=315`, `h:80=-5`, or `1 = 315` for both copies;
// blank lines and text after `#` are skipped. Never throws: a bad line lands in `errors`.
ControlText ParseControlText(const std::string& text);

// A control file the simulator watches while it runs.
class ControlFile {
 public:
  explicit ControlFile(std::string path) : path_(std::move(path)) {}

  const std::string& Path() const { return path_; }
  // The file's lines when it changed (size, modification time or inode) since the last call,
  // or appeared or went (an empty text then); nothing when it is as it was.
  std::optional<ControlText> Check();

 private:
  struct Stamp {
    bool exists = false;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
    bool operator==(const Stamp& other) const;
  };

  std::string path_;
  std::optional<Stamp> seen_;
};

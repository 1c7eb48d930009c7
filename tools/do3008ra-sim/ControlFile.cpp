// SPDX-License-Identifier: Apache-2.0
#include "ControlFile.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

std::string Trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

std::optional<long> WholeNumber(const std::string& text, long low, long high) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (*end != '\0' || errno != 0 || value < low || value > high) return std::nullopt;
  return value;
}

// One line's registers (one pin, or two for both copies), or the reason it is unusable.
std::string ParseLine(const std::string& line, std::vector<SensorRegisters::Pin>& pins) {
  const auto equals = line.find('=');
  if (equals == std::string::npos) return "expected [input|holding] ADDRESS = VALUE";
  std::string target = Trimmed(line.substr(0, equals));
  const std::string valueText = Trimmed(line.substr(equals + 1));
  bool input = true, holding = true;
  for (const auto& [word, isInput] : {std::pair<const char*, bool>{"input", true},
                                      {"holding", false},
                                      {"i", true},
                                      {"h", false}}) {
    const std::string prefix = word;
    if (target.compare(0, prefix.size(), prefix) != 0) continue;
    target = Trimmed(target.substr(prefix.size()));
    if (!target.empty() && target[0] == ':') target = Trimmed(target.substr(1));
    input = isInput;
    holding = !isInput;
    break;
  }
  const auto address = WholeNumber(target, 0, SensorRegisters::kMapSize - 1);
  if (!address) {
    return "the address must be a whole number from 0 to " +
           std::to_string(SensorRegisters::kMapSize - 1);
  }
  // Raw register values, negative ones in two's complement as --set takes them.
  const auto value = WholeNumber(valueText, -32768, 0xFFFF);
  if (!value) return "the value must be a whole number from -32768 to 65535";
  const auto raw = static_cast<uint16_t>(*value & 0xFFFF);
  if (input) pins.push_back({true, static_cast<uint16_t>(*address), raw});
  if (holding) pins.push_back({false, static_cast<uint16_t>(*address), raw});
  return "";
}

// The line as it may go into the log: control bytes of a garbage file as \xNN, so that they
// neither forge log lines nor move a terminal's cursor.
std::string ControlLineEscaped(const std::string& line) {
  std::string escaped;
  for (const char c : line) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7f && byte != '\\') {
      escaped += c;
      continue;
    }
    char code[8];
    std::snprintf(code, sizeof code, "\\x%02x", byte);
    escaped += code;
  }
  return escaped;
}

}  // namespace

ControlText ParseControlText(const std::string& text) {
  ControlText result;
  std::istringstream in(text);
  int number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    line = Trimmed(line.substr(0, line.find('#')));
    if (line.empty()) continue;
    const std::string error = ParseLine(line, result.pins);
    if (!error.empty())
      result.errors.push_back("line " + std::to_string(number) + " '" + ControlLineEscaped(line) +
                              "': " + error);
  }
  return result;
}

bool ControlFile::Stamp::operator==(const Stamp& other) const {
  return exists == other.exists && inode == other.inode && size == other.size &&
         modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec;
}

std::optional<ControlText> ControlFile::Check() {
  Stamp stamp;
  struct stat info {};
  if (stat(path_.c_str(), &info) == 0) {
    stamp = Stamp{true, info.st_ino, info.st_size, info.st_mtim};
  }
  if (seen_ && *seen_ == stamp) return std::nullopt;
  seen_ = stamp;
  if (!stamp.exists) return ControlText{};
  // A FIFO or a device would block the serving loop.
  if (!S_ISREG(info.st_mode)) return ControlText{{}, {"not a regular file"}};
  std::ifstream file(path_, std::ios::binary);
  if (!file) return ControlText{{}, {"cannot be read"}};
  std::ostringstream text;
  text << file.rdbuf();
  return ParseControlText(text.str());
}

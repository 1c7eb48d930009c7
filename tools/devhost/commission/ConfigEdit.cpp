// SPDX-License-Identifier: Apache-2.0
#include "commission/ConfigEdit.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>

#include <json/reader.h>

namespace fs = std::filesystem;

namespace {

std::pair<std::size_t, std::size_t> Place(const HostConfig& config, uint32_t dataId) {
  for (std::size_t l = 0; l < config.lines.size(); ++l) {
    const auto& devices = config.lines[l].devices;
    for (std::size_t d = 0; d < devices.size(); ++d) {
      if (devices[d].dataId == dataId) return {l, d};
    }
  }
  throw ConfigError("configuration " + config.path + " has no device with data id " +
                    std::to_string(dataId));
}

const Json::Value& ObjectAt(const Json::Value& root, const ConfigMember& member) {
  const auto index = [](std::size_t i) { return static_cast<Json::ArrayIndex>(i); };
  const Json::Value* object = &root["lines"][index(member.line)];
  if (member.device) object = &(*object)["devices"][index(*member.device)];
  if (!object->isObject()) throw ConfigError(member.Path() + ": its object is not there");
  return *object;
}

// Written with the mode and owner of the file it stands for: a configuration that holds a
// broker's user name is not made readable to others, nor handed to root.
void WriteWhole(const std::string& path, const std::string& text, const struct stat& like) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) throw ConfigError("cannot write " + path + ": " + std::strerror(errno));
  const bool owned = (like.st_uid == geteuid() && like.st_gid == getegid()) ||
                     fchown(fd, like.st_uid, like.st_gid) == 0;
  if (!owned || fchmod(fd, like.st_mode & 07777) != 0) {
    const int error = errno;
    close(fd);
    unlink(path.c_str());
    throw ConfigError("cannot give " + path +
                      " the owner and mode of the configuration: " + std::strerror(error));
  }
  std::size_t written = 0;
  while (written < text.size()) {
    const ssize_t put = write(fd, text.data() + written, text.size() - written);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) break;
    written += static_cast<std::size_t>(put);
  }
  const bool whole = written == text.size() && fsync(fd) == 0;
  const int error = errno;
  close(fd);
  if (!whole) {
    unlink(path.c_str());
    throw ConfigError("cannot write " + path + ": " + std::strerror(error));
  }
}

std::string RealPath(const std::string& path) {
  std::error_code error;
  const fs::path real = fs::canonical(path, error);
  if (error) throw ConfigError("cannot resolve " + path + ": " + error.message());
  return real.string();
}

// Made beside PATH and linked to its name, so it appears whole and an existing one is never
// replaced: the first edit's backup outlives every later one.
bool KeepFirst(const std::string& first, const std::string& temporary, const std::string& text,
               const struct stat& like) {
  struct stat info {};
  if (lstat(first.c_str(), &info) == 0) return false;
  WriteWhole(temporary, text, like);
  const bool made = link(temporary.c_str(), first.c_str()) == 0;
  const int error = errno;
  unlink(temporary.c_str());
  if (!made && error != EEXIST) {
    throw ConfigError("cannot write " + first + ": " + std::strerror(error));
  }
  return made;
}

}  // namespace

std::string ConfigBackups::Text() const {
  return "the old file is " + last +
         (firstMade ? "; as it was before the first change it is also " + first : "");
}

void RemoveStaleTemporaries(const std::string& path) {
  const fs::path file(path);
  const std::string head = file.filename().string() + ".tmp";
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(file.parent_path(), error)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(head, 0) != 0 || name.size() == head.size()) continue;
    const std::string pid = name.substr(head.size());
    if (pid.find_first_not_of("0123456789") != std::string::npos || pid.size() > 9) continue;
    const pid_t owner = static_cast<pid_t>(std::stol(pid));
    if (owner == getpid() || kill(owner, 0) == 0 || errno == EPERM) continue;
    fs::remove(entry.path(), error);
  }
}

std::string ConfigMember::Path() const {
  std::string path = "lines[" + std::to_string(line) + "]";
  if (device) path += ".devices[" + std::to_string(*device) + "]";
  return path + "." + name;
}

ConfigMember AddressMember(const HostConfig& config, uint32_t dataId, int address) {
  const auto [line, device] = Place(config, dataId);
  return {line, device, "slaveAddress", address};
}

ConfigMember SpeedMember(const HostConfig& config, uint32_t dataId, int baud) {
  return {Place(config, dataId).first, std::nullopt, "baudRate", baud};
}

std::string WithMember(const std::string& text, const ConfigMember& member) {
  const Json::Value root = ParseConfigJson(text);
  const Json::Value& object = ObjectAt(root, member);
  const std::string value = std::to_string(member.value);
  if (object.isMember(member.name)) {
    const Json::Value& current = object[member.name];
    const auto start = static_cast<std::size_t>(current.getOffsetStart());
    const auto limit = static_cast<std::size_t>(current.getOffsetLimit());
    if (start >= limit || limit > text.size()) {
      throw ConfigError(member.Path() + ": its place in the text is unknown");
    }
    return text.substr(0, start) + value + text.substr(limit);
  }
  const char* anchor = member.device ? "dataId" : "device";
  if (!object.isMember(anchor))
    throw ConfigError(member.Path() + ": no \"" + anchor + "\" before it");
  const auto after = static_cast<std::size_t>(object[anchor].getOffsetLimit());
  if (after == 0 || after > text.size()) {
    throw ConfigError(member.Path() + ": its place in the text is unknown");
  }
  return text.substr(0, after) + ", \"" + member.name + "\": " + value + text.substr(after);
}

ConfigBackups UpdateConfigFile(const std::string& given, const ConfigMember& member) {
  const std::string text = ReadConfigText(given);
  const std::string changed = WithMember(text, member);
  // The new text must load as a configuration before it replaces the old one.
  ParseHostConfig(changed, given, ConfigOverrides{});
  // A link stays a link: the file it leads to is the one replaced.
  const std::string path = RealPath(given);
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) {
    throw ConfigError("cannot look at " + path + ": " + std::strerror(errno));
  }
  RemoveStaleTemporaries(path);
  ConfigBackups backups{path + ".bak", path + ".orig", false};
  const std::string temporary = path + ".tmp" + std::to_string(getpid());
  backups.firstMade = KeepFirst(backups.first, temporary, text, info);
  WriteWhole(backups.last, text, info);
  WriteWhole(temporary, changed, info);
  if (rename(temporary.c_str(), path.c_str()) != 0) {
    const int error = errno;
    unlink(temporary.c_str());
    throw ConfigError("cannot replace " + path + ": " + std::strerror(error));
  }
  return backups;
}

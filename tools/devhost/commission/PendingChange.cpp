// SPDX-License-Identifier: Apache-2.0
#include "commission/PendingChange.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <json/value.h>

#include "config/BoundedFile.h"
#include "config/HostConfig.h"
#include "events/EventFormat.h"

namespace {

bool Alive(long pid) {
  return pid > 0 && (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

std::optional<PendingChange> FromJson(const std::string& text) {
  Json::Value json;
  try {
    json = ParseConfigJson(text);
  } catch (const ConfigError&) {
    return std::nullopt;
  }
  for (const char* member : {"dataId", "to", "pid"}) {
    if (!json.isObject() || !json[member].isInt64()) return std::nullopt;
  }
  PendingChange change;
  change.dataId = static_cast<uint32_t>(json["dataId"].asInt64());
  change.speed = json["member"].asString() == "baudRate";
  change.to = static_cast<int>(json["to"].asInt64());
  change.updateConfig = json["updateConfig"].asBool();
  change.pid = static_cast<long>(json["pid"].asInt64());
  return change;
}

void WriteFile(const std::string& path, const std::string& text) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const bool whole = fd >= 0 &&
                     write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
                     fsync(fd) == 0;
  const int error = errno;
  if (fd >= 0) close(fd);
  if (!whole) {
    unlink(path.c_str());
    throw ConfigError("cannot record the change in " + path + ": " + std::strerror(error));
  }
}

}  // namespace

std::string PendingChange::Place(int value) const {
  return speed ? std::to_string(value) + " baud" : "address " + std::to_string(value);
}

std::string PendingChangePath(const std::string& database, uint32_t dataId) {
  return database + ".change-" + std::to_string(dataId);
}

void RecordPendingChange(const std::string& database, const PendingChange& change) {
  Json::Value json(Json::objectValue);
  json["dataId"] = change.dataId;
  json["member"] = change.speed ? "baudRate" : "slaveAddress";
  json["to"] = change.to;
  json["updateConfig"] = change.updateConfig;
  json["pid"] = static_cast<Json::Int64>(change.pid);
  const std::string path = PendingChangePath(database, change.dataId);
  const std::string temporary = path + ".tmp";
  WriteFile(temporary, CompactJson(json) + "\n");
  if (rename(temporary.c_str(), path.c_str()) != 0) {
    const int error = errno;
    unlink(temporary.c_str());
    throw ConfigError("cannot record the change in " + path + ": " + std::strerror(error));
  }
}

void ClearPendingChange(const std::string& database, uint32_t dataId) {
  unlink(PendingChangePath(database, dataId).c_str());
}

std::optional<PendingChange> InterruptedChange(const std::string& database, uint32_t dataId) {
  const std::string path = PendingChangePath(database, dataId);
  const BoundedRead read = ReadBoundedFile(path, 4096);
  if (!read.opened) return std::nullopt;
  const auto change = FromJson(read.text);
  if (!change || change->dataId != dataId) {
    unlink(path.c_str());
    return std::nullopt;
  }
  if (Alive(change->pid)) return std::nullopt;
  return change;
}

std::optional<std::string> UnreadableChange(const std::string& database, uint32_t dataId) {
  const std::string path = PendingChangePath(database, dataId);
  const BoundedRead read = ReadBoundedFile(path, 4096);
  if (read.opened && read.problem.empty()) return std::nullopt;
  if (!read.opened && read.error == ENOENT) return std::nullopt;
  return path + (read.opened ? " " + read.problem : std::string(": ") + std::strerror(read.error));
}

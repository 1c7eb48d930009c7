// SPDX-License-Identifier: Apache-2.0
#include "commission/PendingChange.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <json/value.h>

#include "config/BoundedFile.h"
#include "config/HostConfig.h"
#include "events/EventFormat.h"

namespace {

// Records larger than this are no record of ours.
constexpr std::size_t kRecordLimit = 4096;

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
  change.verified = json["verified"].asBool();
  change.process.pid = static_cast<long>(json["pid"].asInt64());
  // Records of hosts before these members name the process by its pid alone.
  if (json["started"].isInt64()) change.process.started = json["started"].asInt64();
  if (json["boot"].isString()) change.process.boot = json["boot"].asString();
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

// A file that is no record, moved out of the way of the next command's record.
std::string KeptAside(const std::string& path, const std::string& why) {
  const std::string aside = path + ".corrupt";
  const std::string head = path + " is no record of a change (" + why + ")";
  if (rename(path.c_str(), aside.c_str()) != 0) {
    return head + "; it could not be kept aside as " + aside + ": " + std::strerror(errno);
  }
  return head + "; kept as " + aside;
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
  json["verified"] = change.verified;
  json["pid"] = static_cast<Json::Int64>(change.process.pid);
  json["started"] = static_cast<Json::Int64>(change.process.started);
  json["boot"] = change.process.boot;
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

ChangeRecord ReadChangeRecord(const std::string& database, uint32_t dataId) {
  const std::string path = PendingChangePath(database, dataId);
  const BoundedRead read = ReadBoundedFile(path, kRecordLimit);
  ChangeRecord record;
  if (!read.opened && read.error == ENOENT) return record;
  record.state = ChangeRecord::State::kUnusable;
  if (!read.opened) {
    record.problem = path + ": " + std::strerror(read.error);
  } else if (!read.problem.empty()) {
    record.problem = KeptAside(path, read.problem);
  } else if (const auto change = FromJson(read.text)) {
    if (change->dataId != dataId) {
      record.problem = KeptAside(path, "it names data id " + std::to_string(change->dataId));
    } else {
      record.state = ChangeRecord::State::kFound;
      record.change = *change;
    }
  } else {
    record.problem = KeptAside(path, read.text.empty() ? "it is empty" : "it is not whole");
  }
  return record;
}

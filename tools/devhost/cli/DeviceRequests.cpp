// SPDX-License-Identifier: Apache-2.0
#include "cli/DeviceRequests.h"

#include <ctime>

#include "base/ExitStatus.h"
#include "commission/ConfigEdit.h"
#include "commission/PendingChange.h"
#include "events/Clock.h"
#include "events/Console.h"
#include "events/EventFormat.h"

namespace {

void AddNotice(Json::Value& answer, const std::string& text) {
  const HostEvent event{WallNow(), NoticeEvent{text}};
  if (auto json = EventObject(event.body)) {
    (*json)["time"] = IsoTimeText(event.time);
    answer["events"].append(*json);
  }
  answer["text"] = answer["text"].asString() + TimedLines(event);
}

}  // namespace

Json::Value OneDeviceRequest(const CommandLine& line, const HostConfig& config) {
  if (config.FindDevice(line.dataId) == nullptr) {
    throw ConfigError("configuration " + config.path + " has no device with data id " +
                      std::to_string(line.dataId));
  }
  Json::Value request(Json::objectValue);
  request["data_id"] = line.dataId;
  return request;
}

Json::Value EveryDeviceRequest(const CommandLine&, const HostConfig&) {
  return Json::Value(Json::objectValue);
}

Json::Value WriteRequest(const CommandLine& line, const HostConfig& config) {
  Json::Value request = OneDeviceRequest(line, config);
  request["address"] = line.address;
  request["values"] = Json::Value(Json::arrayValue);
  for (int value : line.typedValues) request["values"].append(value);
  return request;
}

Json::Value ChangeRequest(const CommandLine& line, const HostConfig& config) {
  Json::Value request = OneDeviceRequest(line, config);
  // The host that carries the change out records it beside its database (an operator may not
  // write there); it follows the change into the configuration at its next start if this
  // command ends before it could.
  if (line.updateConfig) request["update_config"] = true;
  if (line.command == "rebaud") {
    request["baud"] = line.target;
    request["force"] = line.force;
  } else {
    request["address"] = line.target;
  }
  return request;
}

int FollowInConfig(Json::Value& answer, const HostConfig& config, const CommandLine& line) {
  const ConfigMember member = line.command == "rebaud"
                                  ? SpeedMember(config, line.dataId, line.target)
                                  : AddressMember(config, line.dataId, line.target);
  Json::Value& described = answer["config"];
  described["file"] = config.path;
  described["member"] = member.Path();
  described["value"] = static_cast<Json::Int64>(member.value);
  described["updated"] = false;
  const std::string setting = member.Path() + " to " + std::to_string(member.value);
  if (!line.updateConfig) {
    AddNotice(answer, "set " + setting + " in " + config.path +
                          " for the host to find the sensor at its next start");
    return answer["exit_code"].asInt();
  }
  try {
    const ConfigBackups backups = UpdateConfigFile(config.path, member);
    described["updated"] = true;
    described["backup"] = backups.last;
    described["first_backup"] = backups.first;
    // Followed: the record the host kept for a command that might not get this far is done
    // with (a host that may not be written beside drops it at its next start).
    ClearPendingChange(config.database, line.dataId);
    AddNotice(answer, "updated " + setting + " in " + config.path + " (" + backups.Text() + ")");
    return answer["exit_code"].asInt();
  } catch (const ConfigError& error) {
    // The sensor has moved all the same; nothing may hide how to find it again.
    described["error"] = error.what();
    AddNotice(answer,
              "the sensor is at its new place and verified, but the configuration was "
              "not updated: " +
                  std::string(error.what()) + "; set " + setting + " in " + config.path +
                  " as a user who may write it (sudoedit " + config.path +
                  "); until then the host finds it by the record " +
                  PendingChangePath(config.database, line.dataId));
    answer["exit_code"] = kExitConfigNotUpdated;
    return kExitConfigNotUpdated;
  }
}

// SPDX-License-Identifier: Apache-2.0
#include "service/RuleFileCheck.h"

#include <unistd.h>

#include <cstdlib>

#include "config/BoundedFile.h"
#include "config/HostConfig.h"

namespace {

// The device's own reading of appSetting.b_mode: rule-file mode unless another mode is given.
bool RuleFileMode(const Json::Value& settings) {
  if (!settings.isObject() || !settings["appSetting"].isObject()) return true;
  const Json::Value& mode = settings["appSetting"]["b_mode"];
  if (mode.isNull() || mode.isObject() || mode.isArray()) return true;
  return std::strtol(mode.asString().c_str(), nullptr, 10) == 1;
}

// The first candidate that exists, in the device's order; only an ".ini" one is read. Nothing
// when none exists.
std::optional<std::string> RuleFileCandidate(uint32_t dataId, const std::string& deviceType) {
  const std::string stems[] = {std::to_string(dataId), deviceType};
  for (const char* directory : {"./ini/", "./ini/vizova/"}) {
    for (const std::string& stem : stems) {
      for (const char* extension : {".yaml", ".ini"}) {
        const std::string path = directory + stem + extension;
        if (access(path.c_str(), F_OK) == 0) return extension[1] == 'i' ? path : std::string();
      }
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> CheckRuleFile(uint32_t dataId, const std::string& deviceType,
                                         const Json::Value& settings, const std::string& workDir) {
  if (!RuleFileMode(settings)) return std::nullopt;
  const auto path = RuleFileCandidate(dataId, deviceType);
  if (!path) {
    const std::string id = std::to_string(dataId);
    return "device " + id + ": warning: mode 1 takes its rules from a rule file, and there is " +
           "none: looked for ini/" + id + ".ini, ini/" + deviceType + ".ini, ini/vizova/" + id +
           ".ini and ini/vizova/" + deviceType + ".ini (or .yaml) under " + workDir +
           " (the configuration's workDir); no alarm is raised and nothing is reported";
  }
  if (path->empty()) return std::nullopt;
  if (const auto problem = FileProblem(*path, kConfigFileLimit)) {
    throw ConfigError("device " + std::to_string(dataId) + ": rule file " + *path + " (under " +
                      workDir + ") " + *problem);
  }
  return std::nullopt;
}

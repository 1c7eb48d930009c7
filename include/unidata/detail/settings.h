// SPDX-License-Identifier: Apache-2.0
#pragma once
// The configuration step of UniDataDevice: mode and rule-file lookup.

#include <unistd.h>

#include <iostream>
#include <string>

#include "unidata/detail/rule_loaders.h"

template <class Record, class Protocol, int Code>
int UniDataDevice<Record, Protocol, Code>::InitSetting(const Json::Value& settings) {
  // Stamped before anything can fail, so a record always names its device.
  data_.dataId = this->DataId();
  ReadMode(settings);
  switch (b_mode_) {
    case 1:
      LoadRulesFromRuleFile();
      break;
    case 3:
      LoadIdentityTables(settings);
      break;
    case 5:
      LoadThresholdRules(settings);
      break;
    default:
      break;
  }
  return Protocol::InitSetting(settings);
}

template <class Record, class Protocol, int Code>
void UniDataDevice<Record, Protocol, Code>::ReadMode(const Json::Value& settings) {
  const Json::Value& mode =
      unidata_config::MemberOf(unidata_config::MemberOf(settings, "appSetting"), "b_mode");
  // A mode that is missing, or given as an object or array, leaves the mode as it was.
  if (mode.isNull() || mode.isObject() || mode.isArray()) return;
  b_mode_ = unidata_config::TextToInt32(mode.asString());
  std::cout << "InitSetting " << this->DataId() << " b_mode_:" << b_mode_ << std::endl;
}

template <class Record, class Protocol, int Code>
std::string UniDataDevice<Record, Protocol, Code>::FindRuleFile() const {
  const std::string stems[] = {std::to_string(this->DataId()), this->DeviceType()};
  for (const char* directory : {"./ini/", "./ini/vizova/"}) {
    for (const std::string& stem : stems) {
      for (const char* extension : {".yaml", ".ini"}) {
        std::string path = directory + stem + extension;
        // Existence only: a directory or an unreadable file named like a candidate is taken.
        if (access(path.c_str(), F_OK) == 0) return path;
      }
    }
  }
  return {};
}

template <class Record, class Protocol, int Code>
void UniDataDevice<Record, Protocol, Code>::LoadRulesFromRuleFile() {
  const std::string path = FindRuleFile();
  if (path.empty()) {
    std::cout << "data_id:" << this->DataId() << " model:" << this->DeviceType()
              << " b ini not found" << std::endl;
  }
  std::cout << "parse ini/yaml filename:" << path << std::endl;
  if (path.empty()) return;
  // A ".yaml" rule file is found but not read: it leaves the device without file rules.
  const std::string ini = ".ini";
  if (path.size() >= ini.size() && path.compare(path.size() - ini.size(), ini.size(), ini) == 0) {
    LoadRuleFile(path);
  }
  std::cout << "AI " << this->DataId() << std::endl;
  for (const auto& entry : aiSignalMap_) {
    std::cout << "first:" << entry.first << " second:" << entry.second.first
              << " name:" << entry.second.second << std::endl;
  }
}

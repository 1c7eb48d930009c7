// SPDX-License-Identifier: Apache-2.0
#include "config/ConfigChanges.h"

namespace {

const Json::Value& MemberOf(const Json::Value& object, const std::string& name) {
  static const Json::Value kNone;
  return object.isObject() && object.isMember(name) ? object[name] : kNone;
}

std::set<std::string> UnionOfMembers(const Json::Value& a, const Json::Value& b) {
  std::set<std::string> names;
  for (const Json::Value* object : {&a, &b}) {
    if (!object->isObject()) continue;
    for (const std::string& name : object->getMemberNames()) names.insert(name);
  }
  return names;
}

// The members of two objects that differ, except those `taken`.
std::vector<std::string> Differing(const Json::Value& a, const Json::Value& b,
                                   const std::set<std::string>& taken) {
  std::vector<std::string> differing;
  for (const std::string& name : UnionOfMembers(a, b)) {
    if (taken.count(name) == 0 && !(MemberOf(a, name) == MemberOf(b, name))) {
      differing.push_back(name);
    }
  }
  return differing;
}

void CompareDevices(const Json::Value& before, const Json::Value& now, std::size_t line,
                    const std::string& place, ConfigChanges& changes) {
  if (!before.isArray() || !now.isArray() || before.size() != now.size()) {
    changes.restart.push_back(place + " (a device added or removed)");
    return;
  }
  static const std::set<std::string> kTaken = {"settings", "reports"};
  for (Json::ArrayIndex i = 0; i < now.size(); ++i) {
    const std::string at = place + "[" + std::to_string(i) + "].";
    for (const std::string& name : Differing(before[i], now[i], kTaken)) {
      changes.restart.push_back(at + name);
    }
    if (!Differing(before[i], now[i], {}).empty() && Differing(before[i], now[i], kTaken).empty()) {
      changes.devices.emplace_back(line, i);
    }
  }
}

void CompareLines(const Json::Value& before, const Json::Value& now, ConfigChanges& changes) {
  if (!before.isArray() || !now.isArray() || before.size() != now.size()) {
    changes.restart.push_back("lines (a line added or removed)");
    return;
  }
  for (Json::ArrayIndex i = 0; i < now.size(); ++i) {
    const std::string place = "lines[" + std::to_string(i) + "]";
    for (const std::string& name : Differing(before[i], now[i], {"devices"})) {
      changes.restart.push_back(place + "." + name);
    }
    CompareDevices(MemberOf(before[i], "devices"), MemberOf(now[i], "devices"), i,
                   place + ".devices", changes);
  }
}

}  // namespace

ConfigChanges CompareConfigurations(const Json::Value& before, const Json::Value& now,
                                    const std::set<std::string>& sinkMembers) {
  ConfigChanges changes;
  for (const std::string& name : Differing(before, now, {})) {
    if (sinkMembers.count(name) != 0) {
      changes.sinks.push_back(name);
    } else if (name == "lines") {
      CompareLines(MemberOf(before, name), MemberOf(now, name), changes);
    } else {
      changes.restart.push_back(name);
    }
  }
  return changes;
}

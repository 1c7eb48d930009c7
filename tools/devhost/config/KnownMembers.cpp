// SPDX-License-Identifier: Apache-2.0
#include "config/KnownMembers.h"

#include <algorithm>
#include <cctype>
#include <initializer_list>
#include <utility>

#include "config/SinkBlocks.h"

namespace {

using Names = std::initializer_list<const char*>;

const Names kRoot = {"workDir",
                     "database",
                     "controlSocket",
                     "controlSocketGroup",
                     "retentionDays",
                     "minuteRetentionDays",
                     "hourRetentionDays",
                     "trustUnsynchronisedClock",
                     "lines"};
const Names kLine = {
    "device",         "baudRate",      "parity", "dataBits", "stopBits", "responseTimeoutMs",
    "pollIntervalMs", "linkLostAfter", "rs485",  "devices"};
const Names kRs485 = {"rtsOnSend", "rtsDelayUs"};
const Names kDevice = {"plugin", "dataId", "slaveAddress", "settings", "reports"};
const Names kReport = {"absThreshold", "percentThreshold", "periodMinutes"};

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

void Check(const Json::Value& object, const std::string& where,
           const std::vector<std::string>& known, std::vector<std::string>& warnings) {
  if (!object.isObject()) return;
  for (const std::string& member : object.getMemberNames()) {
    if (std::find(known.begin(), known.end(), member) != known.end()) continue;
    std::string warning = where + member + ": unknown member, ignored";
    for (const std::string& name : known) {
      if (Lower(name) == Lower(member)) warning += " (did you mean " + name + "?)";
    }
    warnings.push_back(warning);
  }
}

void Check(const Json::Value& object, const std::string& where, Names known,
           std::vector<std::string>& warnings) {
  Check(object, where, std::vector<std::string>(known.begin(), known.end()), warnings);
}

// The host's own members and every sink's member.
std::vector<std::string> RootMembers() {
  std::vector<std::string> members(kRoot.begin(), kRoot.end());
  for (const SinkBlock& block : SinkBlocks()) members.push_back(block.member);
  return members;
}

}  // namespace

void WarnUnknownMembers(const Json::Value& root, std::vector<std::string>& warnings) {
  Check(root, "", RootMembers(), warnings);
  for (const SinkBlock& block : SinkBlocks()) {
    Check(root[block.member], block.member + ".", block.members, warnings);
  }
  const Json::Value& lines = root["lines"];
  for (Json::ArrayIndex l = 0; lines.isArray() && l < lines.size(); ++l) {
    const std::string line = "lines[" + std::to_string(l) + "].";
    Check(lines[l], line, kLine, warnings);
    Check(lines[l]["rs485"], line + "rs485.", kRs485, warnings);
    const Json::Value& devices = lines[l]["devices"];
    for (Json::ArrayIndex d = 0; devices.isArray() && d < devices.size(); ++d) {
      const std::string device = line + "devices[" + std::to_string(d) + "].";
      Check(devices[d], device, kDevice, warnings);
      const Json::Value& reports = devices[d]["reports"];
      if (!reports.isObject()) continue;
      for (const std::string& signal : reports.getMemberNames()) {
        Check(reports[signal], device + "reports." + signal + ".", kReport, warnings);
      }
    }
  }
}

std::vector<std::string> KnownMemberPaths() {
  // The places WarnUnknownMembers checks, with the same lists: the host's own, then each sink's.
  const std::pair<const char*, Names> objects[] = {{"lines[].", kLine},
                                                   {"lines[].rs485.", kRs485},
                                                   {"lines[].devices[].", kDevice},
                                                   {"lines[].devices[].reports.SIGNAL.", kReport}};
  std::vector<std::string> paths = RootMembers();
  for (const SinkBlock& block : SinkBlocks()) {
    for (const std::string& name : block.members) paths.push_back(block.member + "." + name);
  }
  for (const auto& [where, names] : objects) {
    for (const char* name : names) paths.push_back(where + std::string(name));
  }
  return paths;
}

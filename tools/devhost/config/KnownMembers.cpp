// SPDX-License-Identifier: Apache-2.0
#include "config/KnownMembers.h"

#include <algorithm>
#include <cctype>
#include <utility>

#include "config/ConfigMembers.h"
#include "config/SinkBlocks.h"

namespace {

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

// The host's own members and every sink's member.
std::vector<std::string> RootMembers() {
  std::vector<std::string> members = MemberNames(ConfigLevel::kRoot);
  for (const SinkBlock& block : SinkBlocks()) members.push_back(block.member);
  return members;
}

}  // namespace

void WarnUnknownMembers(const Json::Value& root, std::vector<std::string>& warnings) {
  Check(root, "", RootMembers(), warnings);
  for (const SinkBlock& block : SinkBlocks()) {
    Check(root[block.member], block.member + ".", block.members, warnings);
  }
  const std::vector<std::string> lineMembers = MemberNames(ConfigLevel::kLine);
  const std::vector<std::string> rs485Members = MemberNames(ConfigLevel::kRs485);
  const std::vector<std::string> deviceMembers = MemberNames(ConfigLevel::kDevice);
  const std::vector<std::string> reportMembers = MemberNames(ConfigLevel::kReport);
  const Json::Value& lines = root["lines"];
  for (Json::ArrayIndex l = 0; lines.isArray() && l < lines.size(); ++l) {
    const std::string line = "lines[" + std::to_string(l) + "].";
    Check(lines[l], line, lineMembers, warnings);
    Check(lines[l]["rs485"], line + "rs485.", rs485Members, warnings);
    const Json::Value& devices = lines[l]["devices"];
    for (Json::ArrayIndex d = 0; devices.isArray() && d < devices.size(); ++d) {
      const std::string device = line + "devices[" + std::to_string(d) + "].";
      Check(devices[d], device, deviceMembers, warnings);
      const Json::Value& reports = devices[d]["reports"];
      if (!reports.isObject()) continue;
      for (const std::string& signal : reports.getMemberNames()) {
        Check(reports[signal], device + "reports." + signal + ".", reportMembers, warnings);
      }
    }
  }
}

std::vector<std::string> KnownMemberPaths() {
  // The places WarnUnknownMembers checks, with the same lists: the host's own, then each sink's.
  const std::pair<const char*, ConfigLevel> objects[] = {
      {"lines[].", ConfigLevel::kLine},
      {"lines[].rs485.", ConfigLevel::kRs485},
      {"lines[].devices[].", ConfigLevel::kDevice},
      {"lines[].devices[].reports.SIGNAL.", ConfigLevel::kReport}};
  std::vector<std::string> paths = RootMembers();
  for (const SinkBlock& block : SinkBlocks()) {
    for (const std::string& name : block.members) paths.push_back(block.member + "." + name);
  }
  for (const auto& [where, level] : objects) {
    for (const std::string& name : MemberNames(level)) paths.push_back(where + name);
  }
  return paths;
}

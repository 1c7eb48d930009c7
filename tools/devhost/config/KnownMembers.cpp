#include "config/KnownMembers.h"

#include <algorithm>
#include <cctype>
#include <initializer_list>

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
                     "lines",
                     "mqtt"};
const Names kLine = {
    "device",         "baudRate",      "parity", "dataBits", "stopBits", "responseTimeoutMs",
    "pollIntervalMs", "linkLostAfter", "rs485",  "devices"};
const Names kRs485 = {"rtsOnSend", "rtsDelayUs"};
const Names kDevice = {"plugin", "dataId", "slaveAddress", "settings", "reports"};
const Names kReport = {"absThreshold", "percentThreshold", "periodMinutes"};
const Names kMqtt = {"host",       "port",     "clientId",      "prefix",          "qos",
                     "keepAliveS", "username", "password",      "passwordFile",    "caFile",
                     "certFile",   "keyFile",  "homeAssistant", "discoveryPrefix", "queueLimit"};

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

void Check(const Json::Value& object, const std::string& where, Names known,
           std::vector<std::string>& warnings) {
  if (!object.isObject()) return;
  for (const std::string& member : object.getMemberNames()) {
    const auto same = [&member](const char* name) { return member == name; };
    if (std::any_of(known.begin(), known.end(), same)) continue;
    std::string warning = where + member + ": unknown member, ignored";
    for (const char* name : known) {
      if (Lower(name) == Lower(member)) warning += std::string(" (did you mean ") + name + "?)";
    }
    warnings.push_back(warning);
  }
}

}  // namespace

void WarnUnknownMembers(const Json::Value& root, std::vector<std::string>& warnings) {
  Check(root, "", kRoot, warnings);
  Check(root["mqtt"], "mqtt.", kMqtt, warnings);
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

// SPDX-License-Identifier: Apache-2.0
#include "config/HostConfig.h"

#include <grp.h>
#include <sys/un.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <set>

#include <json/reader.h>

#include "config/BoundedFile.h"
#include "config/Fields.h"
#include "config/KnownMembers.h"
#include "config/Paths.h"
#include "config/SinkBlocks.h"

namespace {

constexpr int kBaudRates[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
const char* const kBaudRateText = "one of 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200";

char ParseParity(const Fields& fields, char fallback) {
  const std::string parity = fields.Text("parity", false);
  if (parity.empty()) return fallback;
  if (parity == "none") return 'N';
  if (parity == "even") return 'E';
  if (parity == "odd") return 'O';
  fields.Fail("parity", "must be \"none\", \"even\" or \"odd\"");
}

int ParseBaudRate(const Fields& fields, int fallback) {
  if (!fields.Has("baudRate")) return fallback;
  const long long baud = fields.Whole("baudRate", kBaudRateText);
  for (int allowed : kBaudRates) {
    if (baud == allowed) return allowed;
  }
  fields.Fail("baudRate", std::string("must be ") + kBaudRateText);
}

std::map<std::string, ReportConfig> ParseReports(const Fields& device) {
  std::map<std::string, ReportConfig> reports;
  if (!device.Has("reports")) return reports;
  const Json::Value& all = device.Get("reports");
  RequireObject(all, device.Where() + "reports");
  for (const std::string& signal : all.getMemberNames()) {
    const std::string where = device.Where() + "reports." + signal;
    RequireObject(all[signal], where);
    const Fields fields(all[signal], where + ".");
    ReportConfig report;
    report.absThreshold = fields.Number("absThreshold");
    report.percentThreshold = fields.Number("percentThreshold");
    report.periodMinutes = fields.Number("periodMinutes");
    reports[signal] = report;
  }
  return reports;
}

DeviceConfig ParseDevice(const Json::Value& value, const std::string& where,
                         const std::string& pluginBase) {
  RequireObject(value, where);
  const Fields fields(value, where + ".");
  DeviceConfig device;
  device.plugin = AbsolutePath(fields.PathText("plugin", true), pluginBase);
  if (!fields.Has("dataId")) fields.Fail("dataId", "is missing");
  device.dataId = static_cast<uint32_t>(fields.Integer("dataId", 0, 0xFFFFFFFFLL, 0));
  if (fields.Has("slaveAddress")) {
    device.slaveAddress = static_cast<int>(fields.Integer("slaveAddress", 1, 247, 1));
  }
  if (fields.Has("settings")) {
    RequireObject(fields.Get("settings"), where + ".settings");
    device.settings = fields.Get("settings");
  }
  device.reports = ParseReports(fields);
  return device;
}

Rs485Config ParseRs485(const Json::Value& value, const std::string& where) {
  RequireObject(value, where);
  const Fields fields(value, where + ".");
  Rs485Config rs485;
  const std::string rts = fields.Text("rtsOnSend", false);
  if (rts == "low") {
    rs485.rtsHighOnSend = false;
  } else if (!rts.empty() && rts != "high") {
    fields.Fail("rtsOnSend", "must be \"high\" or \"low\"");
  }
  if (fields.Has("rtsDelayUs")) {
    rs485.rtsDelayUs = static_cast<int>(fields.Integer("rtsDelayUs", 0, 1000000, 0));
  }
  return rs485;
}

LineConfig ParseLine(const Json::Value& value, const std::string& where,
                     const std::string& pluginBase) {
  RequireObject(value, where);
  const Fields fields(value, where + ".");
  // Members left out keep LineConfig's defaults, written there once.
  LineConfig line;
  line.device = fields.PathText("device", true);
  line.baudRate = ParseBaudRate(fields, line.baudRate);
  line.parity = ParseParity(fields, line.parity);
  line.dataBits = static_cast<int>(fields.Integer("dataBits", 5, 8, line.dataBits));
  line.stopBits = static_cast<int>(fields.Integer("stopBits", 1, 2, line.stopBits));
  line.responseTimeoutMs =
      static_cast<int>(fields.Integer("responseTimeoutMs", 10, 60000, line.responseTimeoutMs));
  line.pollIntervalMs =
      static_cast<int>(fields.Integer("pollIntervalMs", 50, 86400000, line.pollIntervalMs));
  line.linkLostAfter =
      static_cast<int>(fields.Integer("linkLostAfter", 1, 1000, line.linkLostAfter));
  if (fields.Has("rs485")) line.rs485 = ParseRs485(fields.Get("rs485"), where + ".rs485");
  const Json::Value& devices = fields.Get("devices");
  if (!devices.isArray() || devices.empty())
    fields.Fail("devices", "must list at least one device");
  for (Json::ArrayIndex i = 0; i < devices.size(); ++i) {
    line.devices.push_back(
        ParseDevice(devices[i], where + ".devices[" + std::to_string(i) + "]", pluginBase));
  }
  return line;
}

// The socket the running host listens on: the configuration's controlSocket, else next to the
// database, so that --db moves it along. A longer path than a socket address holds could never
// be listened on.
std::string ParseControlSocket(const Fields& fields, const std::string& base,
                               const std::string& database) {
  const bool given = fields.Has("controlSocket");
  const std::string path = given ? AbsolutePath(fields.PathText("controlSocket", true), base)
                                 : WithExtension(database, ".sock");
  constexpr std::size_t kLongest = sizeof(sockaddr_un{}.sun_path) - 1;
  if (path.size() > kLongest) {
    fields.Fail("controlSocket", (given ? path : "the default " + path) + " is longer than the " +
                                     std::to_string(kLongest) +
                                     " bytes a socket path can have; give a shorter one");
  }
  return path;
}

// A group name, or its number as a number or decimal text ("1001"): a group need not have a name.
void ParseControlSocketGroup(const Fields& fields, HostConfig& config) {
  if (!fields.Has("controlSocketGroup")) return;
  const Json::Value& value = fields.Get("controlSocketGroup");
  const std::string text = value.isString() ? value.asString() : "";
  if (value.isNumeric() ||
      (!text.empty() && text.find_first_not_of("0123456789") == std::string::npos)) {
    config.controlSocketGroup =
        static_cast<unsigned>(fields.Integer("controlSocketGroup", 0, 4294967294LL, 0));
    config.controlSocketGroupText = std::to_string(*config.controlSocketGroup);
    return;
  }
  config.controlSocketGroupText = fields.Text("controlSocketGroup", true);
  group entry{};
  group* found = nullptr;
  std::string buffer(16384, '\0');
  if (getgrnam_r(config.controlSocketGroupText.c_str(), &entry, buffer.data(), buffer.size(),
                 &found) != 0 ||
      found == nullptr) {
    fields.Fail("controlSocketGroup",
                "there is no group named \"" + config.controlSocketGroupText + "\"");
  }
  config.controlSocketGroup = found->gr_gid;
}

// The port a device path leads to: two names of one pty are one line.
std::string PortIdentity(const std::string& device) {
  std::error_code error;
  const std::filesystem::path real = std::filesystem::canonical(device, error);
  return error ? device : real.string();
}

void CheckUnique(const HostConfig& config) {
  std::set<uint32_t> dataIds;
  std::map<std::string, std::string> ports;  // identity -> the name a line gave it
  for (std::size_t l = 0; l < config.lines.size(); ++l) {
    const std::string& device = config.lines[l].device;
    const auto [known, added] = ports.emplace(PortIdentity(device), device);
    if (!added) {
      throw ConfigError("lines[" + std::to_string(l) + "].device: " + device +
                        " is used by two lines" +
                        (known->second == device ? "" : " (as " + known->second + ")"));
    }
    for (const DeviceConfig& device : config.lines[l].devices) {
      if (!dataIds.insert(device.dataId).second) {
        throw ConfigError("data id " + std::to_string(device.dataId) + " is configured twice");
      }
    }
  }
}

// jsoncpp lists errors as "* Line 1, Column 3\n  Missing '}' ...\n"; the first one, on one line.
std::string FirstError(const std::string& errors) {
  std::string text = errors.rfind("* ", 0) == 0 ? errors.substr(2) : errors;
  const auto lineEnd = text.find('\n');
  if (lineEnd == std::string::npos) return text;
  const auto detailStart = text.find_first_not_of(' ', lineEnd + 1);
  const auto detailEnd = text.find('\n', lineEnd + 1);
  if (detailStart == std::string::npos || detailStart >= detailEnd) return text.substr(0, lineEnd);
  return text.substr(0, lineEnd) + ": " + text.substr(detailStart, detailEnd - detailStart);
}

void ApplyPortOverrides(HostConfig& config, const ConfigOverrides& overrides) {
  for (const auto& [index, port] : overrides.ports) {
    if (index >= config.lines.size()) {
      throw ConfigError("--port: there is no line " + std::to_string(index));
    }
    config.lines[index].device = port;
  }
}

}  // namespace

const DeviceConfig* HostConfig::FindDevice(uint32_t dataId) const {
  for (const LineConfig& line : lines) {
    for (const DeviceConfig& device : line.devices) {
      if (device.dataId == dataId) return &device;
    }
  }
  return nullptr;
}

HostConfig ParseHostConfig(const std::string& text, const std::string& path,
                           const ConfigOverrides& overrides) {
  try {
    const Json::Value root = ParseConfigJson(text);
    RequireObject(root, "the configuration");
    const Fields fields(root, "");
    HostConfig config;
    config.path = AbsolutePath(path, CurrentDirectory());
    const std::string base = DirectoryOf(config.path);
    config.workDir =
        AbsolutePath(fields.Has("workDir") ? fields.PathText("workDir", true) : ".", base);
    const std::string pluginBase =
        overrides.pluginDir.empty() ? base : AbsolutePath(overrides.pluginDir, CurrentDirectory());
    if (!overrides.database.empty()) {
      config.database = AbsolutePath(overrides.database, CurrentDirectory());
    } else if (fields.Has("database")) {
      config.database = AbsolutePath(fields.PathText("database", true), base);
    } else {
      config.database = WithExtension(config.path, ".db");
    }
    config.controlSocket = ParseControlSocket(fields, base, config.database);
    ParseControlSocketGroup(fields, config);
    if (fields.Has("retentionDays")) {
      config.retentionDays = static_cast<int>(fields.Integer("retentionDays", 1, 36500, 0));
    }
    config.trustUnsynchronisedClock = fields.Flag("trustUnsynchronisedClock");
    config.minuteRetentionDays = static_cast<int>(
        fields.Integer("minuteRetentionDays", 1, 36500, config.minuteRetentionDays));
    config.hourRetentionDays =
        static_cast<int>(fields.Integer("hourRetentionDays", 1, 36500, config.hourRetentionDays));
    const Json::Value& lines = fields.Get("lines");
    if (!lines.isArray() || lines.empty()) fields.Fail("lines", "must list at least one line");
    for (Json::ArrayIndex i = 0; i < lines.size(); ++i) {
      config.lines.push_back(ParseLine(lines[i], "lines[" + std::to_string(i) + "]", pluginBase));
    }
    for (const SinkBlock& block : SinkBlocks()) {
      if (fields.Has(block.member)) block.parse(fields.Get(block.member), base, config);
    }
    ApplyPortOverrides(config, overrides);
    CheckUnique(config);
    WarnUnknownMembers(root, config.warnings);
    return config;
  } catch (const ConfigError& error) {
    throw ConfigError("configuration " + path + ": " + error.what());
  } catch (const Json::Exception& error) {
    throw ConfigError("configuration " + path + ": " + error.what());
  }
}

HostConfig LoadHostConfig(const std::string& path, const ConfigOverrides& overrides) {
  HostConfig config = ParseHostConfig(ReadConfigText(path), path, overrides);
  // Said once in a process, however often a command loads the file.
  static std::set<std::string> said;
  for (const std::string& warning : config.warnings) {
    const std::string line = "configuration " + path + ": " + warning;
    if (said.insert(line).second) std::fprintf(stderr, "devhost: %s\n", line.c_str());
  }
  return config;
}

std::string ReadConfigText(const std::string& path) {
  const BoundedRead read = ReadBoundedFile(path, kConfigFileLimit);
  if (!read.opened) throw ConfigError("cannot read configuration " + path);
  if (!read.problem.empty()) throw ConfigError("configuration " + path + " " + read.problem);
  return read.text;
}

Json::Value ParseConfigJson(const std::string& text) {
  Json::CharReaderBuilder builder;
  Json::CharReaderBuilder::strictMode(&builder.settings_);
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value root;
  std::string errors;
  if (!reader->parse(text.data(), text.data() + text.size(), &root, &errors)) {
    throw ConfigError("not valid JSON: " + FirstError(errors));
  }
  return root;
}

// SPDX-License-Identifier: Apache-2.0
#include "config/ConfigMembers.h"

#include <grp.h>
#include <sys/un.h>

#include <cstddef>

#include "config/Paths.h"

namespace {

// One member of a level: its name and what reads it (also when it is left out, for a default
// or a "is missing"). `Reading` is what the level's members are read into.
template <typename Reading>
struct MemberRow {
  const char* name;
  void (*read)(const Fields& fields, const std::string& member, Reading& reading);
};

template <typename Reading, std::size_t N>
void ReadRows(const MemberRow<Reading> (&rows)[N], const Fields& fields, Reading& reading) {
  for (const MemberRow<Reading>& row : rows) row.read(fields, row.name, reading);
}

// An object of the level at `where` ("lines[0]"), read member by member.
template <typename Reading, std::size_t N>
void ReadLevel(const MemberRow<Reading> (&rows)[N], const Json::Value& value,
               const std::string& where, Reading& reading) {
  RequireObject(value, where);
  ReadRows(rows, Fields(value, where + "."), reading);
}

template <typename Reading, std::size_t N>
std::vector<std::string> RowNames(const MemberRow<Reading> (&rows)[N]) {
  std::vector<std::string> names;
  for (const MemberRow<Reading>& row : rows) names.push_back(row.name);
  return names;
}

constexpr int kBaudRates[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
const char* const kBaudRateText = "one of 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200";

int IntegerMember(const Fields& fields, const std::string& member, long long low, long long high,
                  int fallback) {
  return static_cast<int>(fields.Integer(member, low, high, fallback));
}

const MemberRow<ReportConfig> kReportRows[] = {
    {"absThreshold",
     [](const Fields& f, const std::string& m, ReportConfig& r) { r.absThreshold = f.Number(m); }},
    {"percentThreshold", [](const Fields& f, const std::string& m,
                            ReportConfig& r) { r.percentThreshold = f.Number(m); }},
    {"periodMinutes",
     [](const Fields& f, const std::string& m, ReportConfig& r) { r.periodMinutes = f.Number(m); }},
};

// Where relative plug-in paths are looked for.
struct PluginPlaces {
  std::string base;
  std::string fallback;
};

// A device and where its relative plug-in path starts.
struct DeviceReading {
  DeviceConfig device;
  PluginPlaces plugins;
};

// "reports": report-on-change settings by signal identifier.
void ReadReports(const Fields& fields, const std::string& member, DeviceReading& reading) {
  if (!fields.Has(member)) return;
  const Json::Value& all = fields.Get(member);
  RequireObject(all, fields.Where() + member);
  for (const std::string& signal : all.getMemberNames()) {
    ReportConfig report;
    ReadLevel(kReportRows, all[signal], fields.Where() + member + "." + signal, report);
    reading.device.reports[signal] = report;
  }
}

const MemberRow<DeviceReading> kDeviceRows[] = {
    {"plugin",
     [](const Fields& f, const std::string& m, DeviceReading& r) {
       r.device.plugin = PluginPath(f.PathText(m, true), r.plugins.base, r.plugins.fallback);
     }},
    {"dataId",
     [](const Fields& f, const std::string& m, DeviceReading& r) {
       if (!f.Has(m)) f.Fail(m, "is missing");
       r.device.dataId = static_cast<uint32_t>(f.Integer(m, 0, 0xFFFFFFFFLL, 0));
     }},
    {"slaveAddress",
     [](const Fields& f, const std::string& m, DeviceReading& r) {
       if (f.Has(m)) r.device.slaveAddress = IntegerMember(f, m, 1, 247, 1);
     }},
    {"settings",
     [](const Fields& f, const std::string& m, DeviceReading& r) {
       if (!f.Has(m)) return;
       RequireObject(f.Get(m), f.Where() + m);
       r.device.settings = f.Get(m);
     }},
    {"reports", ReadReports},
};

const MemberRow<Rs485Config> kRs485Rows[] = {
    {"rtsOnSend",
     [](const Fields& f, const std::string& m, Rs485Config& r) {
       const std::string rts = f.Text(m, false);
       if (rts == "low") {
         r.rtsHighOnSend = false;
       } else if (!rts.empty() && rts != "high") {
         f.Fail(m, "must be \"high\" or \"low\"");
       }
     }},
    {"rtsDelayUs",
     [](const Fields& f, const std::string& m, Rs485Config& r) {
       if (f.Has(m)) r.rtsDelayUs = IntegerMember(f, m, 0, 1000000, 0);
     }},
};

// A line and where its devices' relative plug-in paths start. Members left out keep
// LineConfig's defaults, written there once.
struct LineReading {
  LineConfig line;
  PluginPlaces plugins;
};

// A whole number from kLow to kHigh; left out: LineConfig's default.
template <int LineConfig::*kField, long long kLow, long long kHigh>
void ReadLineInteger(const Fields& fields, const std::string& member, LineReading& reading) {
  reading.line.*kField = IntegerMember(fields, member, kLow, kHigh, reading.line.*kField);
}

void ReadBaudRate(const Fields& fields, const std::string& member, LineReading& reading) {
  if (!fields.Has(member)) return;
  const long long baud = fields.Whole(member, kBaudRateText);
  for (int allowed : kBaudRates) {
    if (baud == allowed) {
      reading.line.baudRate = allowed;
      return;
    }
  }
  fields.Fail(member, std::string("must be ") + kBaudRateText);
}

void ReadParity(const Fields& fields, const std::string& member, LineReading& reading) {
  const std::string parity = fields.Text(member, false);
  if (parity.empty()) return;
  if (parity == "none") {
    reading.line.parity = 'N';
  } else if (parity == "even") {
    reading.line.parity = 'E';
  } else if (parity == "odd") {
    reading.line.parity = 'O';
  } else {
    fields.Fail(member, "must be \"none\", \"even\" or \"odd\"");
  }
}

void ReadDevices(const Fields& fields, const std::string& member, LineReading& reading) {
  const Json::Value& devices = fields.Get(member);
  if (!devices.isArray() || devices.empty()) fields.Fail(member, "must list at least one device");
  for (Json::ArrayIndex i = 0; i < devices.size(); ++i) {
    DeviceReading device{DeviceConfig{}, reading.plugins};
    ReadLevel(kDeviceRows, devices[i], fields.Where() + member + "[" + std::to_string(i) + "]",
              device);
    reading.line.devices.push_back(device.device);
  }
}

const MemberRow<LineReading> kLineRows[] = {
    {"device", [](const Fields& f, const std::string& m,
                  LineReading& r) { r.line.device = f.PathText(m, true); }},
    {"baudRate", ReadBaudRate},
    {"parity", ReadParity},
    {"dataBits", ReadLineInteger<&LineConfig::dataBits, 5, 8>},
    {"stopBits", ReadLineInteger<&LineConfig::stopBits, 1, 2>},
    {"responseTimeoutMs", ReadLineInteger<&LineConfig::responseTimeoutMs, 10, 60000>},
    {"pollIntervalMs", ReadLineInteger<&LineConfig::pollIntervalMs, 0, 86400000>},
    {"frameSilenceUs", ReadLineInteger<&LineConfig::frameSilenceUs, 0, 100000>},
    {"linkLostAfter", ReadLineInteger<&LineConfig::linkLostAfter, 1, 1000>},
    {"rs485",
     [](const Fields& f, const std::string& m, LineReading& r) {
       if (!f.Has(m)) return;
       Rs485Config rs485;
       ReadLevel(kRs485Rows, f.Get(m), f.Where() + m, rs485);
       r.line.rs485 = rs485;
     }},
    {"devices", ReadDevices},
};

// Days from 1 to 36500 (100 years); left out: HostConfig's default.
template <int HostConfig::*kField>
void ReadRetentionDays(const Fields& fields, const std::string& member, RootReading& reading) {
  reading.config.*kField = IntegerMember(fields, member, 1, 36500, reading.config.*kField);
}

void ReadDatabase(const Fields& fields, const std::string& member, RootReading& reading) {
  if (!reading.overrides.database.empty()) {
    reading.config.database = AbsolutePath(reading.overrides.database, CurrentDirectory());
  } else if (fields.Has(member)) {
    reading.config.database = AbsolutePath(fields.PathText(member, true), reading.base);
  } else {
    reading.config.database = WithExtension(reading.config.path, ".db");
  }
}

// The socket the running host listens on: the configuration's controlSocket, else next to the
// database, so that --db moves it along. A longer path than a socket address holds could never
// be listened on.
void ReadControlSocket(const Fields& fields, const std::string& member, RootReading& reading) {
  const bool given = fields.Has(member);
  const std::string path = given ? AbsolutePath(fields.PathText(member, true), reading.base)
                                 : WithExtension(reading.config.database, ".sock");
  constexpr std::size_t kLongest = sizeof(sockaddr_un{}.sun_path) - 1;
  if (path.size() > kLongest) {
    fields.Fail(member, (given ? path : "the default " + path) + " is longer than the " +
                            std::to_string(kLongest) +
                            " bytes a socket path can have; give a shorter one");
  }
  reading.config.controlSocket = path;
}

// A group has this number in the system's group database.
bool GroupHasNumber(unsigned gid) {
  group entry{};
  group* found = nullptr;
  std::string buffer(16384, '\0');
  return getgrgid_r(static_cast<gid_t>(gid), &entry, buffer.data(), buffer.size(), &found) == 0 &&
         found != nullptr;
}

// A group name, or its number as a number or decimal text ("1001"): a group need not have a name,
// but one that has none is said (a mistyped number leaves the socket to nobody).
void ReadControlSocketGroup(const Fields& fields, const std::string& member, RootReading& reading) {
  if (!fields.Has(member)) return;
  HostConfig& config = reading.config;
  const Json::Value& value = fields.Get(member);
  const std::string text = value.isString() ? value.asString() : "";
  if (value.isNumeric() ||
      (!text.empty() && text.find_first_not_of("0123456789") == std::string::npos)) {
    config.controlSocketGroup = static_cast<unsigned>(fields.Integer(member, 0, 4294967294LL, 0));
    config.controlSocketGroupText = std::to_string(*config.controlSocketGroup);
    if (!GroupHasNumber(*config.controlSocketGroup)) {
      config.warnings.push_back(member + ": no group has the number " +
                                config.controlSocketGroupText +
                                " here; only a process given it as a supplementary group (setpriv, "
                                "a container) may use the control socket");
    }
    return;
  }
  config.controlSocketGroupText = fields.Text(member, true);
  group entry{};
  group* found = nullptr;
  std::string buffer(16384, '\0');
  if (getgrnam_r(config.controlSocketGroupText.c_str(), &entry, buffer.data(), buffer.size(),
                 &found) != 0 ||
      found == nullptr) {
    fields.Fail(member, "there is no group named \"" + config.controlSocketGroupText + "\"");
  }
  config.controlSocketGroup = found->gr_gid;
}

void ReadLines(const Fields& fields, const std::string& member, RootReading& reading) {
  const Json::Value& lines = fields.Get(member);
  if (!lines.isArray() || lines.empty()) fields.Fail(member, "must list at least one line");
  for (Json::ArrayIndex i = 0; i < lines.size(); ++i) {
    LineReading line{LineConfig{}, {reading.pluginBase, reading.pluginFallback}};
    ReadLevel(kLineRows, lines[i], member + "[" + std::to_string(i) + "]", line);
    reading.config.lines.push_back(line.line);
  }
}

const MemberRow<RootReading> kRootRows[] = {
    {"workDir",
     [](const Fields& f, const std::string& m, RootReading& r) {
       r.config.workDir = AbsolutePath(f.Has(m) ? f.PathText(m, true) : ".", r.base);
     }},
    {"database", ReadDatabase},
    {"controlSocket", ReadControlSocket},
    {"controlSocketGroup", ReadControlSocketGroup},
    {"retentionDays",
     [](const Fields& f, const std::string& m, RootReading& r) {
       if (f.Has(m)) r.config.retentionDays = IntegerMember(f, m, 1, 36500, 0);
     }},
    {"trustUnsynchronisedClock",
     [](const Fields& f, const std::string& m, RootReading& r) {
       r.config.trustUnsynchronisedClock = f.Flag(m);
     }},
    {"minuteRetentionDays", ReadRetentionDays<&HostConfig::minuteRetentionDays>},
    {"hourRetentionDays", ReadRetentionDays<&HostConfig::hourRetentionDays>},
    {"lines", ReadLines},
};

}  // namespace

void ReadRootMembers(const Fields& fields, RootReading& reading) {
  ReadRows(kRootRows, fields, reading);
}

std::vector<std::string> MemberNames(ConfigLevel level) {
  switch (level) {
    case ConfigLevel::kRoot:
      return RowNames(kRootRows);
    case ConfigLevel::kLine:
      return RowNames(kLineRows);
    case ConfigLevel::kRs485:
      return RowNames(kRs485Rows);
    case ConfigLevel::kDevice:
      return RowNames(kDeviceRows);
    case ConfigLevel::kReport:
      return RowNames(kReportRows);
  }
  return {};
}

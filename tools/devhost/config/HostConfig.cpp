#include "config/HostConfig.h"

#include <sys/un.h>
#include <unistd.h>

#include <cctype>
#include <charconv>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>

#include <json/reader.h>
#include <json/writer.h>

#include "config/Paths.h"

namespace {

constexpr int kBaudRates[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
const char* const kBaudRateText = "one of 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200";

// Plain decimal text: an optional sign, digits and, where fractions are taken, a point and
// digits. No spaces, exponents, hexadecimal or units.
bool IsPlainDecimal(const std::string& text, bool fraction) {
  std::size_t at = (!text.empty() && (text[0] == '-' || text[0] == '+')) ? 1 : 0;
  const auto digits = [&text, &at] {
    const std::size_t from = at;
    while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]))) ++at;
    return at > from;
  };
  if (!digits()) return false;
  if (fraction && at < text.size() && text[at] == '.') {
    ++at;
    if (!digits()) return false;
  }
  return at == text.size();
}

// Configurations written by other tools often quote their numbers ("9600"); decimal text is
// taken as the number it spells, as the device settings take it.
std::optional<long long> WholeFromText(const std::string& text) {
  if (!IsPlainDecimal(text, false)) return std::nullopt;
  // Saturates far out of range, where the range check then names the member.
  return std::strtoll(text.c_str(), nullptr, 10);
}

std::optional<double> DecimalFromText(const std::string& text) {
  if (!IsPlainDecimal(text, true)) return std::nullopt;
  // from_chars reads a point whatever the locale, and takes no '+'.
  const char* first = text.data() + (text[0] == '+' ? 1 : 0);
  double value = 0;
  const auto result =
      std::from_chars(first, text.data() + text.size(), value, std::chars_format::fixed);
  if (result.ec != std::errc()) return std::nullopt;
  return value;
}

// The text as JSON writes it, quoted and escaped, so that a message stays on one line.
std::string Quoted(const std::string& text) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  builder["emitUTF8"] = true;
  return Json::writeString(builder, Json::Value(text));
}

std::string NotAString(const std::string& accepted, const std::string& text) {
  return "must be " + accepted + ", as a number, not a string " + Quoted(text);
}

// Reads members of one JSON object and says exactly where a value is wrong.
class Fields {
 public:
  Fields(const Json::Value& object, std::string where)
      : object_(object), where_(std::move(where)) {}

  [[noreturn]] void Fail(const std::string& member, const std::string& problem) const {
    throw ConfigError(where_ + member + ": " + problem);
  }
  bool Has(const std::string& member) const {
    return object_.isMember(member) && !object_[member].isNull();
  }
  const Json::Value& Get(const std::string& member) const { return object_[member]; }

  // A whole number, written as a number or as decimal text; `accepted` says what the member
  // takes, for the message.
  long long Whole(const std::string& member, const std::string& accepted) const {
    const Json::Value& value = object_[member];
    if (value.isString()) {
      const auto number = WholeFromText(value.asString());
      if (!number) Fail(member, NotAString(accepted, value.asString()));
      return *number;
    }
    if (!value.isInt64()) Fail(member, "must be " + accepted);
    return value.asInt64();
  }
  long long Integer(const std::string& member, long long low, long long high,
                    long long fallback) const {
    if (!Has(member)) return fallback;
    const std::string accepted =
        "a whole number from " + std::to_string(low) + " to " + std::to_string(high);
    const long long value = Whole(member, accepted);
    if (value < low || value > high) Fail(member, "must be " + accepted);
    return value;
  }
  std::string Text(const std::string& member, bool required) const {
    if (!Has(member)) {
      if (required) Fail(member, "is missing");
      return {};
    }
    if (!object_[member].isString() || object_[member].asString().empty()) {
      Fail(member, "must be a non-empty string");
    }
    return object_[member].asString();
  }
  // A number not below 0, written as a number or as decimal text ("0.5").
  std::optional<float> Number(const std::string& member) const {
    if (!Has(member)) return std::nullopt;
    const std::string accepted = "a number not below 0";
    const Json::Value& value = object_[member];
    std::optional<double> number;
    if (value.isString()) {
      number = DecimalFromText(value.asString());
      if (!number) Fail(member, NotAString(accepted, value.asString()));
    } else if (value.isNumeric()) {
      number = value.asDouble();
    }
    if (!number || *number < 0) Fail(member, "must be " + accepted);
    return static_cast<float>(*number);
  }
  const std::string& Where() const { return where_; }

 private:
  const Json::Value& object_;
  std::string where_;
};

void RequireObject(const Json::Value& value, const std::string& where) {
  if (!value.isObject()) throw ConfigError(where + ": must be an object");
}

char ParseParity(const Fields& fields) {
  const std::string parity = fields.Text("parity", false);
  if (parity.empty() || parity == "none") return 'N';
  if (parity == "even") return 'E';
  if (parity == "odd") return 'O';
  fields.Fail("parity", "must be \"none\", \"even\" or \"odd\"");
}

int ParseBaudRate(const Fields& fields) {
  if (!fields.Has("baudRate")) return 9600;
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
  device.plugin = AbsolutePath(fields.Text("plugin", true), pluginBase);
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

LineConfig ParseLine(const Json::Value& value, const std::string& where,
                     const std::string& pluginBase) {
  RequireObject(value, where);
  const Fields fields(value, where + ".");
  LineConfig line;
  line.device = fields.Text("device", true);
  line.baudRate = ParseBaudRate(fields);
  line.parity = ParseParity(fields);
  line.dataBits = static_cast<int>(fields.Integer("dataBits", 5, 8, 8));
  line.stopBits = static_cast<int>(fields.Integer("stopBits", 1, 2, 1));
  line.responseTimeoutMs = static_cast<int>(fields.Integer("responseTimeoutMs", 10, 60000, 500));
  line.pollIntervalMs = static_cast<int>(fields.Integer("pollIntervalMs", 50, 86400000, 1000));
  line.linkLostAfter = static_cast<int>(fields.Integer("linkLostAfter", 1, 1000, 3));
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
  const std::string path = given ? AbsolutePath(fields.Text("controlSocket", true), base)
                                 : WithExtension(database, ".sock");
  constexpr std::size_t kLongest = sizeof(sockaddr_un{}.sun_path) - 1;
  if (path.size() > kLongest) {
    fields.Fail("controlSocket", (given ? path : "the default " + path) + " is longer than the " +
                                     std::to_string(kLongest) +
                                     " bytes a socket path can have; give a shorter one");
  }
  return path;
}

// Topic levels the host writes under: no wildcards, no empty level, nothing a broker refuses.
bool IsTopicPrefix(const std::string& text) {
  if (text.empty() || text.front() == '/' || text.back() == '/') return false;
  if (text.find("//") != std::string::npos) return false;
  return text.find_first_of(std::string("+#\0", 3)) == std::string::npos;
}

bool IsPlainName(const std::string& text) {
  for (unsigned char c : text) {
    if (!std::isalnum(c) && c != '_' && c != '-' && c != '.') return false;
  }
  return !text.empty() && text.size() <= 64;
}

std::string DefaultClientId() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "devhost";
  std::string id = "devhost-";
  for (const char* c = name; *c != '\0' && id.size() < 48; ++c) {
    id += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '-';
  }
  return id;
}

// The first line of the password file; the message names the file, never its content.
std::string ReadPassword(const Fields& fields, const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::string password;
  if (!file || !std::getline(file, password)) {
    fields.Fail("passwordFile", "cannot read " + path);
  }
  if (!password.empty() && password.back() == '\r') password.pop_back();
  if (password.empty()) fields.Fail("passwordFile", path + " holds no password on its first line");
  return password;
}

bool Flag(const Fields& fields, const std::string& member) {
  if (!fields.Has(member)) return false;
  if (!fields.Get(member).isBool()) fields.Fail(member, "must be true or false");
  return fields.Get(member).asBool();
}

void ParseMqttTls(const Fields& fields, const std::string& base, MqttConfig& mqtt) {
  if (fields.Has("caFile")) mqtt.caFile = AbsolutePath(fields.Text("caFile", true), base);
  if (fields.Has("certFile")) mqtt.certFile = AbsolutePath(fields.Text("certFile", true), base);
  if (fields.Has("keyFile")) mqtt.keyFile = AbsolutePath(fields.Text("keyFile", true), base);
  if (mqtt.certFile.empty() != mqtt.keyFile.empty()) {
    fields.Fail(mqtt.certFile.empty() ? "certFile" : "keyFile", "certFile and keyFile go together");
  }
  if (!mqtt.certFile.empty() && mqtt.caFile.empty()) {
    fields.Fail("caFile", "is needed for TLS when a client certificate is given");
  }
}

MqttConfig ParseMqtt(const Json::Value& value, const std::string& base) {
  RequireObject(value, "mqtt");
  const Fields fields(value, "mqtt.");
  MqttConfig mqtt;
  if (fields.Has("host")) mqtt.host = fields.Text("host", true);
  ParseMqttTls(fields, base, mqtt);
  mqtt.port = static_cast<int>(fields.Integer("port", 1, 65535, mqtt.caFile.empty() ? 1883 : 8883));
  mqtt.clientId = fields.Has("clientId") ? fields.Text("clientId", true) : DefaultClientId();
  if (!IsPlainName(mqtt.clientId)) {
    fields.Fail("clientId", "must be 1 to 64 letters, digits, '_', '-' or '.'");
  }
  if (fields.Has("prefix")) mqtt.prefix = fields.Text("prefix", true);
  if (!IsTopicPrefix(mqtt.prefix)) {
    fields.Fail("prefix",
                "must be topic levels without '+', '#', empty levels or a leading or "
                "trailing '/'");
  }
  mqtt.qos = static_cast<int>(fields.Integer("qos", 0, 2, 0));
  mqtt.keepAliveS = static_cast<int>(fields.Integer("keepAliveS", 5, 3600, 60));
  mqtt.queueLimit = static_cast<int>(fields.Integer("queueLimit", 10, 100000, 1000));
  if (fields.Has("password")) {
    fields.Fail("password", "is not taken inline; put it in a file named by passwordFile");
  }
  if (fields.Has("username")) mqtt.username = fields.Text("username", true);
  if (fields.Has("passwordFile")) {
    if (mqtt.username.empty()) fields.Fail("passwordFile", "needs a username");
    mqtt.passwordFile = AbsolutePath(fields.Text("passwordFile", true), base);
    mqtt.password = ReadPassword(fields, mqtt.passwordFile);
  }
  mqtt.homeAssistant = Flag(fields, "homeAssistant");
  if (fields.Has("discoveryPrefix")) mqtt.discoveryPrefix = fields.Text("discoveryPrefix", true);
  if (!IsTopicPrefix(mqtt.discoveryPrefix)) {
    fields.Fail("discoveryPrefix", "must be topic levels without '+', '#' or empty levels");
  }
  return mqtt;
}

void CheckUnique(const HostConfig& config) {
  std::set<uint32_t> dataIds;
  std::set<std::string> ports;
  for (std::size_t l = 0; l < config.lines.size(); ++l) {
    if (!ports.insert(config.lines[l].device).second) {
      throw ConfigError("lines[" + std::to_string(l) + "].device: " + config.lines[l].device +
                        " is used by two lines");
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
    config.workDir = AbsolutePath(fields.Has("workDir") ? fields.Text("workDir", true) : ".", base);
    const std::string pluginBase =
        overrides.pluginDir.empty() ? base : AbsolutePath(overrides.pluginDir, CurrentDirectory());
    if (!overrides.database.empty()) {
      config.database = AbsolutePath(overrides.database, CurrentDirectory());
    } else if (fields.Has("database")) {
      config.database = AbsolutePath(fields.Text("database", true), base);
    } else {
      config.database = WithExtension(config.path, ".db");
    }
    config.controlSocket = ParseControlSocket(fields, base, config.database);
    if (fields.Has("retentionDays")) {
      config.retentionDays = static_cast<int>(fields.Integer("retentionDays", 1, 36500, 0));
    }
    const Json::Value& lines = fields.Get("lines");
    if (!lines.isArray() || lines.empty()) fields.Fail("lines", "must list at least one line");
    for (Json::ArrayIndex i = 0; i < lines.size(); ++i) {
      config.lines.push_back(ParseLine(lines[i], "lines[" + std::to_string(i) + "]", pluginBase));
    }
    if (fields.Has("mqtt")) config.mqtt = ParseMqtt(fields.Get("mqtt"), base);
    ApplyPortOverrides(config, overrides);
    CheckUnique(config);
    return config;
  } catch (const ConfigError& error) {
    throw ConfigError("configuration " + path + ": " + error.what());
  } catch (const Json::Exception& error) {
    throw ConfigError("configuration " + path + ": " + error.what());
  }
}

HostConfig LoadHostConfig(const std::string& path, const ConfigOverrides& overrides) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw ConfigError("cannot read configuration " + path);
  const std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  if (file.bad()) throw ConfigError("cannot read configuration " + path);
  return ParseHostConfig(text, path, overrides);
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

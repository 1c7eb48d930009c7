#include "config/MqttConfig.h"

#include <unistd.h>

#include <cctype>

#include "config/BoundedFile.h"
#include "config/Fields.h"
#include "config/Paths.h"

namespace {

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
  const BoundedRead read = ReadBoundedFile(path, kPasswordFileLimit);
  if (!read.opened) fields.Fail("passwordFile", "cannot read " + path);
  if (!read.problem.empty()) fields.Fail("passwordFile", path + " " + read.problem);
  std::string password = read.text.substr(0, read.text.find('\n'));
  if (!password.empty() && password.back() == '\r') password.pop_back();
  if (password.empty()) fields.Fail("passwordFile", path + " holds no password on its first line");
  return password;
}

// A TLS file is read by the TLS library on the network thread: a FIFO there would hang it.
std::string TlsFile(const Fields& fields, const std::string& member, const std::string& base) {
  if (!fields.Has(member)) return {};
  const std::string path = AbsolutePath(fields.Text(member, true), base);
  if (const auto problem = FileProblem(path, kConfigFileLimit)) {
    fields.Fail(member, path + " " + *problem);
  }
  return path;
}

void ParseMqttTls(const Fields& fields, const std::string& base, MqttConfig& mqtt) {
  mqtt.caFile = TlsFile(fields, "caFile", base);
  mqtt.certFile = TlsFile(fields, "certFile", base);
  mqtt.keyFile = TlsFile(fields, "keyFile", base);
  if (mqtt.certFile.empty() != mqtt.keyFile.empty()) {
    fields.Fail(mqtt.certFile.empty() ? "certFile" : "keyFile", "certFile and keyFile go together");
  }
  if (!mqtt.certFile.empty() && mqtt.caFile.empty()) {
    fields.Fail("caFile", "is needed for TLS when a client certificate is given");
  }
}

}  // namespace

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
  mqtt.homeAssistant = fields.Flag("homeAssistant");
  if (fields.Has("discoveryPrefix")) mqtt.discoveryPrefix = fields.Text("discoveryPrefix", true);
  if (!IsTopicPrefix(mqtt.discoveryPrefix)) {
    fields.Fail("discoveryPrefix", "must be topic levels without '+', '#' or empty levels");
  }
  return mqtt;
}

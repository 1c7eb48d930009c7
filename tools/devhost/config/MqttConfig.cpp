// SPDX-License-Identifier: Apache-2.0
#include "config/MqttConfig.h"

#include <mosquitto.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>

#include "config/BoundedFile.h"
#include "config/Fields.h"
#include "config/Paths.h"
#include "config/TlsFiles.h"
#include "events/Clock.h"

namespace {

// Topic levels the host writes under: no wildcards, no empty level, nothing a broker refuses.
bool IsTopicPrefix(const std::string& text) {
  if (text.empty() || text.front() == '/' || text.back() == '/') return false;
  if (text.find("//") != std::string::npos) return false;
  // The broker's own rule for topic text (no control characters, well-formed UTF-8): a prefix
  // it refuses would end the run at the first connect instead of here.
  if (mosquitto_validate_utf8(text.data(), static_cast<int>(text.size())) != MOSQ_ERR_SUCCESS) {
    return false;
  }
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

// The files are only named here: the running host reads them (LoadMqttFiles), so that an
// operator who may not read the secrets can still use the commands that read the configuration.
std::string FileMember(const Fields& fields, const std::string& member, const std::string& base) {
  return fields.Has(member) ? AbsolutePath(fields.PathText(member, true), base) : std::string();
}

void ParseMqttTls(const Fields& fields, const std::string& base, MqttConfig& mqtt) {
  mqtt.caFile = FileMember(fields, "caFile", base);
  mqtt.certFile = FileMember(fields, "certFile", base);
  mqtt.keyFile = FileMember(fields, "keyFile", base);
  if (mqtt.certFile.empty() != mqtt.keyFile.empty()) {
    fields.Fail(mqtt.certFile.empty() ? "certFile" : "keyFile", "certFile and keyFile go together");
  }
  if (!mqtt.certFile.empty() && mqtt.caFile.empty()) {
    fields.Fail("caFile", "is needed for TLS when a client certificate is given");
  }
}

// "mqtt.keyFile: /etc/devhost/key.pem ..."
[[noreturn]] void FailFile(const std::string& member, const std::string& path,
                           const std::string& problem) {
  throw ConfigError("mqtt." + member + ": " + path + " " + problem);
}

// The whole file, or ConfigError: a FIFO would hang the start, a TLS file the library cannot
// read would make the bridge retry for ever.
std::string ReadMember(const std::string& member, const std::string& path, std::size_t limit,
                       bool secret) {
  const BoundedRead read = ReadBoundedFile(path, limit);
  if (!read.opened) FailFile(member, path, "cannot be read: " + std::string(strerror(read.error)));
  if (!read.problem.empty()) FailFile(member, path, read.problem);
  // Like ssh with a private key: a secret that every account on the machine may read is no
  // longer one, and the broker could not tell this host from anyone there. Group access is how
  // a root-owned secret is handed to the service's user (root:devhost 0640), so it is taken.
  if (secret && (read.mode & (S_IROTH | S_IWOTH)) != 0) {
    char mode[16];
    std::snprintf(mode, sizeof mode, "%04o", read.mode);
    FailFile(member, path,
             std::string("is open to every user (mode ") + mode +
                 "): a secret others may read is not used; chmod o-rw it");
  }
  return read.text;
}

void Check(const std::string& member, const std::string& path,
           const std::optional<std::string>& problem) {
  if (problem) FailFile(member, path, *problem);
}

// caFile, certFile and keyFile as the TLS library will read them; ConfigError.
void CheckTlsFiles(const MqttConfig& mqtt) {
  if (!mqtt.caFile.empty()) {
    Check("caFile", mqtt.caFile,
          CertificateProblem(ReadMember("caFile", mqtt.caFile, kConfigFileLimit, false)));
  }
  if (!mqtt.certFile.empty()) {
    const std::string cert = ReadMember("certFile", mqtt.certFile, kConfigFileLimit, false);
    Check("certFile", mqtt.certFile, CertificateProblem(cert));
    Check("keyFile", mqtt.keyFile,
          KeyFileProblem(ReadMember("keyFile", mqtt.keyFile, kConfigFileLimit, true), cert));
  }
}

// Whether the client certificate is valid now; the file has been checked already.
std::optional<std::string> ClientCertificateDates(const MqttConfig& mqtt) {
  if (mqtt.certFile.empty()) return std::nullopt;
  const BoundedRead read = ReadBoundedFile(mqtt.certFile, kConfigFileLimit);
  return CertificateDatesProblem(read.text, WallNow());
}

}  // namespace

MqttConfig ParseMqtt(const Json::Value& value, const std::string& base) {
  RequireObject(value, "mqtt");
  const Fields fields(value, "mqtt.");
  MqttConfig mqtt;
  if (fields.Has("host")) mqtt.host = fields.Text("host", true);
  ParseMqttTls(fields, base, mqtt);
  // Members left out keep MqttConfig's defaults, written there once.
  mqtt.port = static_cast<int>(fields.Integer(
      "port", 1, 65535, mqtt.caFile.empty() ? MqttConfig::kPort : MqttConfig::kTlsPort));
  mqtt.clientId = fields.Has("clientId") ? fields.Text("clientId", true) : DefaultClientId();
  if (!IsPlainName(mqtt.clientId)) {
    fields.Fail("clientId", "must be 1 to 64 letters, digits, '_', '-' or '.'");
  }
  if (fields.Has("prefix")) mqtt.prefix = fields.Text("prefix", true);
  if (!IsTopicPrefix(mqtt.prefix)) {
    fields.Fail("prefix",
                "must be topic levels without '+', '#', control characters, empty levels or a "
                "leading or trailing '/'");
  }
  mqtt.qos = static_cast<int>(fields.Integer("qos", 0, 2, mqtt.qos));
  mqtt.keepAliveS = static_cast<int>(fields.Integer("keepAliveS", 5, 3600, mqtt.keepAliveS));
  mqtt.queueLimit = static_cast<int>(fields.Integer("queueLimit", 10, 100000, mqtt.queueLimit));
  if (fields.Has("password")) {
    fields.Fail("password", "is not taken inline; put it in a file named by passwordFile");
  }
  if (fields.Has("username")) mqtt.username = fields.Text("username", true);
  mqtt.passwordFile = FileMember(fields, "passwordFile", base);
  if (!mqtt.passwordFile.empty() && mqtt.username.empty()) {
    fields.Fail("passwordFile", "needs a username");
  }
  mqtt.homeAssistant =
      fields.Has("homeAssistant") ? fields.Flag("homeAssistant") : mqtt.homeAssistant;
  if (fields.Has("discoveryPrefix")) mqtt.discoveryPrefix = fields.Text("discoveryPrefix", true);
  if (!IsTopicPrefix(mqtt.discoveryPrefix)) {
    fields.Fail("discoveryPrefix",
                "must be topic levels without '+', '#', control characters or empty levels");
  }
  return mqtt;
}

namespace {

// The control socket's group is its operators': a secret that group may read is theirs too. The
// service's secrets belong to a group of the service's alone (the package's devhost-secrets).
void WarnOperatorsMayRead(HostConfig& config, const std::string& member, const std::string& path) {
  struct stat info {};
  if (path.empty() || !config.controlSocketGroup || stat(path.c_str(), &info) != 0) return;
  if ((info.st_mode & S_IRGRP) == 0 || info.st_gid != *config.controlSocketGroup) return;
  config.warnings.push_back("mqtt." + member + ": " + path + " may be read by group " +
                            config.controlSocketGroupText +
                            ", whose members use the control socket: operators can read this "
                            "secret; give it to a group of the service's alone (chgrp "
                            "devhost-secrets " +
                            path + ")");
}

}  // namespace

void LoadMqttFiles(HostConfig& config) {
  if (!config.mqtt) return;
  MqttConfig& mqtt = *config.mqtt;
  try {
    if (!mqtt.passwordFile.empty()) {
      const std::string text =
          ReadMember("passwordFile", mqtt.passwordFile, kPasswordFileLimit, true);
      mqtt.password = text.substr(0, text.find('\n'));
      if (!mqtt.password.empty() && mqtt.password.back() == '\r') mqtt.password.pop_back();
      if (mqtt.password.empty()) {
        FailFile("passwordFile", mqtt.passwordFile, "holds no password on its first line");
      }
    }
    CheckTlsFiles(mqtt);
  } catch (const ConfigError& error) {
    throw ConfigError("configuration " + config.path + ": " + error.what());
  }
  if (const auto dates = ClientCertificateDates(mqtt)) {
    config.warnings.push_back("mqtt.certFile: " + mqtt.certFile + " " + *dates);
  }
  WarnOperatorsMayRead(config, "passwordFile", mqtt.passwordFile);
  WarnOperatorsMayRead(config, "keyFile", mqtt.keyFile);
}

std::optional<std::string> TlsFilesProblem(const MqttConfig& mqtt) {
  try {
    CheckTlsFiles(mqtt);
  } catch (const ConfigError& error) {
    return std::string(error.what());
  }
  if (const auto dates = ClientCertificateDates(mqtt)) {
    return "mqtt.certFile: " + mqtt.certFile + " " + *dates;
  }
  return std::nullopt;
}

// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <any>
#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <json/value.h>

// Report-on-change settings of one analog signal, as the host hands them to a device.
struct ReportConfig {
  std::optional<float> absThreshold;
  std::optional<float> percentThreshold;
  std::optional<float> periodMinutes;
};

struct DeviceConfig {
  std::string plugin;  // path of the plug-in .so, as resolved
  uint32_t dataId = 0;
  std::optional<int> slaveAddress;  // absent: the address the device's settings give
  Json::Value settings{Json::objectValue};
  std::map<std::string, ReportConfig> reports;  // keyed by signal identifier
};

// RS-485 direction control: the kernel's RS-485 mode on the device, and the RTS line raised
// (or lowered) by libmodbus around each request, as a half-duplex transceiver needs.
struct Rs485Config {
  bool rtsHighOnSend = true;  // false: RTS low while sending
  // Waited after RTS is set and again after the frame has gone out (libmodbus has one delay);
  // absent: libmodbus's default, one character time at the line's speed.
  std::optional<int> rtsDelayUs;
};

struct LineConfig {
  std::string device;  // serial device path
  int baudRate = 9600;
  char parity = 'N';  // 'N', 'E' or 'O', as libmodbus takes it
  int dataBits = 8;
  int stopBits = 1;
  int responseTimeoutMs = 500;
  int pollIntervalMs = 1000;  // 0: rounds back to back, only the silences between frames
  // The least silence before a request, in microseconds; the host keeps at least 3.5 characters
  // (1.75 ms above 19200 baud) whatever is set here.
  int frameSilenceUs = 0;
  // Consecutive failed poll cycles after which a device's link counts as lost.
  int linkLostAfter = 3;
  std::optional<Rs485Config> rs485;  // absent: RS-232 mode, RTS left alone
  std::vector<DeviceConfig> devices;
};

// Where and how the MQTT bridge publishes. The password is read from its own file at start-up,
// never written in the configuration.
struct MqttConfig {
  std::string host = "localhost";
  static constexpr int kPort = 1883;
  static constexpr int kTlsPort = 8883;  // when TLS is configured and no port is given
  int port = kPort;
  std::string clientId;  // default "devhost-<host name>"; each device adds "-<dataId>"
  std::string prefix = "do3008ra";
  int qos = 0;
  int keepAliveS = 60;
  std::string username;
  std::string passwordFile;  // absolute
  std::string password;      // the file's first line
  std::string caFile;        // TLS when set; absolute
  std::string certFile;      // client certificate, with keyFile
  std::string keyFile;
  bool homeAssistant = false;
  std::string discoveryPrefix = "homeassistant";
  int queueLimit = 1000;  // unsent messages kept per device while the broker is away
};

struct HostConfig {
  std::string path;      // the configuration file, absolute
  std::string database;  // absolute
  std::string workDir;   // absolute; rule files are looked up under ./ini/ from here
  // Where the running host takes requests (status, write, alarms) from other processes;
  // absolute. Default: the database's path with .sock.
  std::string controlSocket;
  // The group whose members may use the control socket too (mode 0660 instead of 0600); as
  // written ("operators", "1001") and as the number it stands for.
  std::string controlSocketGroupText;
  std::optional<unsigned> controlSocketGroup;
  // Rows older than this many days are pruned by the running host and by devhost prune;
  // absent: everything is kept.
  std::optional<int> retentionDays;
  // The per-minute and per-hour rollups (store/Rollups.h) are kept this many days each.
  int minuteRetentionDays = 365;
  int hourRetentionDays = 3650;
  // Retention waits for the kernel to call the clock synchronised (NTP) before it deletes
  // anything; true: the clock is right without it (a battery-backed real-time clock).
  bool trustUnsynchronisedClock = false;
  std::vector<LineConfig> lines;
  std::optional<MqttConfig> mqtt;
  // The blocks of the other sinks (sinks/SinkKind.h), each as its own parser made it, by member.
  std::map<std::string, std::any> sinks;
  // Members the host does not know, each "PLACE: unknown member, ignored"; LoadHostConfig says
  // them on stderr.
  std::vector<std::string> warnings;

  const DeviceConfig* FindDevice(uint32_t dataId) const;
};

struct ConfigError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Where relative paths of the configuration are taken from, and what the command line overrides.
struct ConfigOverrides {
  std::string database;   // --db
  std::string pluginDir;  // --plugin-dir: base of relative plug-in paths
  // Without --plugin-dir, a relative plug-in path not found beside the configuration is taken
  // from here: where the packages install plug-ins (InstalledPluginDir), empty for nowhere.
  std::string installedPluginDir;
  std::map<std::size_t, std::string> ports;  // --port: line index -> device path
};

// Reads and checks the whole file before anything else happens; throws ConfigError with the
// file name, the member's path and what is wrong.
HostConfig LoadHostConfig(const std::string& path, const ConfigOverrides& overrides);
// The configuration file's text: a regular file of at most 1 MiB, else ConfigError.
std::string ReadConfigText(const std::string& path);
// Configuration text as strict JSON, every value's place in the text kept (getOffsetStart);
// ConfigError with the first problem and its line otherwise.
Json::Value ParseConfigJson(const std::string& text);
// Parses configuration text; `path` names it in messages and anchors relative paths.
HostConfig ParseHostConfig(const std::string& text, const std::string& path,
                           const ConfigOverrides& overrides);

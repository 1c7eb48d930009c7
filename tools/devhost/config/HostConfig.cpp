// SPDX-License-Identifier: Apache-2.0
#include "config/HostConfig.h"

#include <cstdio>
#include <filesystem>
#include <memory>
#include <set>

#include <json/reader.h>

#include "config/BoundedFile.h"
#include "config/ConfigMembers.h"
#include "config/Fields.h"
#include "config/KnownMembers.h"
#include "config/Paths.h"
#include "config/SinkBlocks.h"

namespace {

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
    const bool pluginDirGiven = !overrides.pluginDir.empty();
    const std::string pluginBase =
        pluginDirGiven ? AbsolutePath(overrides.pluginDir, CurrentDirectory()) : base;
    RootReading reading{config, base, pluginBase,
                        pluginDirGiven ? std::string() : overrides.installedPluginDir, overrides};
    ReadRootMembers(fields, reading);
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

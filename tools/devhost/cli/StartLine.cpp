// SPDX-License-Identifier: Apache-2.0
#include "cli/StartLine.h"

#include <sqlite3.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <set>

#include "cli/Usage.h"

namespace {

// "do3008ra" of ".../do3008ra.so".
std::string Stem(const std::string& path) {
  const auto slash = path.rfind('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const auto dot = name.find('.');
  return dot == std::string::npos ? name : name.substr(0, dot);
}

}  // namespace

std::string PluginVersionText(const std::string& pluginPath) {
  std::ifstream file(pluginPath, std::ios::binary);
  // Plug-ins are a few MiB at most; the host refused larger ones at its start.
  const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const std::string marker = Stem(pluginPath) + " version ";
  const auto at = bytes.find(marker);
  if (at == std::string::npos) return "version not found";
  const auto end = bytes.find('\0', at);
  return bytes.substr(at, std::min<std::size_t>(end - at, 64));
}

std::string StartLine(const HostConfig& config) {
  std::string text = VersionLine() + " started: configuration " + config.path + ", database " +
                     config.database + " (SQLite " + sqlite3_libversion() + ")";
  std::set<std::string> plugins;
  for (const LineConfig& line : config.lines) {
    for (const DeviceConfig& device : line.devices) plugins.insert(device.plugin);
  }
  for (const std::string& plugin : plugins) {
    text += ", plug-in " + plugin + " (" + PluginVersionText(plugin) + ")";
  }
  return text;
}

// SPDX-License-Identifier: Apache-2.0
#include "cli/ConfigReload.h"

#include <chrono>
#include <set>

#include "cli/SinkRegistry.h"
#include "config/ConfigChanges.h"
#include "config/MqttConfig.h"
#include "events/Console.h"
#include "service/Host.h"
#include "service/LinePause.h"
#include "sinks/RunningSinks.h"

namespace {

// A line parks between two exchanges: at most a few response timeouts.
constexpr std::chrono::seconds kPauseLimit{10};

std::set<std::string> SinkMembers() {
  std::set<std::string> members;
  for (const SinkKind& kind : SinkKinds()) members.insert(kind.member);
  return members;
}

const SinkKind* KindOf(const std::string& member) {
  for (const SinkKind& kind : SinkKinds()) {
    if (kind.member == member) return &kind;
  }
  return nullptr;
}

std::string Joined(const std::vector<std::string>& parts) {
  std::string text;
  for (const std::string& part : parts) text += (text.empty() ? "" : ", ") + part;
  return text;
}

Json::Value DocumentOf(const std::string& path) { return ParseConfigJson(ReadConfigText(path)); }

}  // namespace

ConfigReload::ConfigReload(const HostConfig& started, const ConfigOverrides& overrides, Host& host,
                           RunningSinks& sinks, Console& console)
    : started_(started), overrides_(overrides), host_(host), sinks_(sinks), console_(console) {
  // As read at start, give or take a change made in the moment since.
  try {
    startedDocument_ = DocumentOf(started.path);
  } catch (const std::exception&) {
    startedDocument_ = Json::Value(Json::objectValue);
  }
  appliedDocument_ = startedDocument_;
}

void ConfigReload::Run() {
  HostConfig config;
  Json::Value document;
  if (!ReadAgain(config, document)) return;
  const HostConfig& before = read_.empty() ? started_ : read_.back();
  read_.push_back(std::move(config));
  const std::vector<std::string> applied = Apply(before, read_.back(), document);
  appliedDocument_ = document;
  const auto restart = CompareConfigurations(startedDocument_, document, SinkMembers()).restart;
  if (applied.empty() && restart.empty()) {
    return console_.Notice("reload: " + started_.path + " read again: nothing changed");
  }
  if (!applied.empty()) {
    console_.Notice("reload: " + started_.path + " read again: applied " + Joined(applied));
  }
  if (!restart.empty()) {
    console_.Notice("reload: changed, taking effect only at a restart: " + Joined(restart),
                    LogLevel::kWarning);
  }
}

bool ConfigReload::ReadAgain(HostConfig& config, Json::Value& document) {
  try {
    document = DocumentOf(started_.path);
    config = LoadHostConfig(started_.path, overrides_);
    LoadMqttFiles(config);
    return true;
  } catch (const std::exception& error) {
    console_.Notice(
        std::string("reload: ") + error.what() + "; nothing changed, the host goes on as it was",
        LogLevel::kWarning);
    return false;
  }
}

std::vector<std::string> ConfigReload::Apply(const HostConfig& before, const HostConfig& now,
                                             const Json::Value& document) {
  const ConfigChanges changes = CompareConfigurations(appliedDocument_, document, SinkMembers());
  std::vector<std::string> applied;
  if (changes.sinks.empty() && changes.devices.empty()) return applied;
  LinePause pause(host_);
  if (!pause.Wait(kPauseLimit)) {
    console_.Notice("reload: a line did not pause within " + std::to_string(kPauseLimit.count()) +
                        " s; nothing applied (send SIGHUP again)",
                    LogLevel::kWarning);
    return applied;
  }
  for (const auto& [line, index] : changes.devices) {
    const DeviceConfig& device = now.lines[line].devices[index];
    try {
      const auto warning = host_.Reconfigure(device, before.lines[line].devices[index]);
      if (warning) console_.Notice(*warning, LogLevel::kWarning);
      applied.push_back("device " + std::to_string(device.dataId) + "'s settings");
    } catch (const std::exception& error) {
      console_.Notice(std::string("reload: ") + error.what() + "; it keeps its settings",
                      LogLevel::kWarning);
    }
  }
  for (const std::string& member : changes.sinks) {
    try {
      sinks_.Restart(*KindOf(member), now, host_, console_);
      applied.push_back(member);
    } catch (const std::exception& error) {
      console_.Notice(std::string("reload: ") + error.what() + "; " + member +
                          " is not running now (mend the file and reload)",
                      LogLevel::kWarning);
    }
  }
  return applied;
}

// SPDX-License-Identifier: Apache-2.0
#include "commission/RecordedProcess.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>

namespace {

// Field 22 of /proc/PID/stat, counted after the command name, which may hold spaces and ")".
std::optional<long long> StartTicks(long pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const auto nameEnd = text.rfind(')');
  if (nameEnd == std::string::npos) return std::nullopt;
  std::istringstream fields(text.substr(nameEnd + 1));
  std::string field;
  for (int index = 3; index <= 22 && fields >> field; ++index) {
    if (index == 22) return std::strtoll(field.c_str(), nullptr, 10);
  }
  return std::nullopt;
}

std::string BootId() {
  std::ifstream file("/proc/sys/kernel/random/boot_id");
  std::string id;
  std::getline(file, id);
  return id;
}

bool PidAlive(long pid) {
  return pid > 0 && (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

}  // namespace

RecordedProcess RecordedProcess::Self() {
  RecordedProcess self;
  self.pid = getpid();
  self.started = StartTicks(self.pid).value_or(0);
  self.boot = BootId();
  return self;
}

bool RecordedProcess::StillRunning() const {
  if (pid == getpid() || !PidAlive(pid)) return false;
  if (!boot.empty() && boot != BootId()) return false;
  if (started == 0) return true;
  const auto now = StartTicks(pid);
  return !now || *now == started;
}

std::string RecordedProcess::Text() const {
  const std::string text = "pid " + std::to_string(pid);
  return pid == getpid() ? text + ", this host's own pid, of an earlier start" : text;
}

// SPDX-License-Identifier: Apache-2.0
// devhost: the reference host. Loads device plug-ins the way the controller does and runs their
// devices over Modbus-RTU serial lines, keeping what they report in SQLite.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "base/ExitStatus.h"
#include "base/Signals.h"
#include "cli/CommandLine.h"
#include "cli/PluginLog.h"
#include "cli/Subcommand.h"
#include "cli/Usage.h"
#include "config/HostConfig.h"
#include "control/SocketIo.h"
#include "events/Console.h"
#include "line/SerialLine.h"
#include "service/Host.h"
#include "store/Store.h"

namespace {

// Beside the database, where its owner looks; nowhere when there is no configuration to read
// (the command then reports that itself).
std::string DefaultPluginLog(const CommandLine& line) {
  if (line.configPath.empty()) return {};
  try {
    return LoadHostConfig(line.configPath, line.overrides).database + ".plugin.log";
  } catch (const std::exception&) {
    return {};
  }
}

// The plug-ins write their diagnostic lines (one or more a poll) to std::cout. They go to a
// bounded file, by default beside the database, so that standard output carries only the host's
// own lines (which --json keeps parseable) and a service's journal only what matters;
// `--plugin-log -` sends them to standard error.
class PluginOutput {
 public:
  explicit PluginOutput(const CommandLine& line) : previous_(std::cout.rdbuf()) {
    const std::string path = line.pluginLog.empty() ? DefaultPluginLog(line) : line.pluginLog;
    if (path == "-") {
      std::cout.rdbuf(std::cerr.rdbuf());
      return;
    }
    if (!path.empty()) log_ = std::make_unique<PluginLog>(path);
    if (!line.pluginLog.empty() && !log_->Open()) {
      throw UsageError("--plugin-log: cannot open " + path);
    }
    std::cout.rdbuf(log_ ? static_cast<std::streambuf*>(log_.get()) : &nowhere_);
  }
  ~PluginOutput() {
    std::cout.flush();
    std::cout.rdbuf(previous_);
  }

 private:
  struct Nowhere : std::streambuf {
    int overflow(int c) override { return traits_type::not_eof(c); }
  };
  std::streambuf* previous_;
  std::unique_ptr<PluginLog> log_;
  Nowhere nowhere_;
};

// A journal (standard output not a terminal) gets notices and above unless detail is asked for;
// a person at a terminal, and a program reading JSON Lines, see every event.
LogLevel ConsoleLevel(const CommandLine& line) {
  if (line.logLevel) return *line.logLevel;
  return line.json || isatty(STDOUT_FILENO) ? LogLevel::kDetail : LogLevel::kNotice;
}

int Fail(int status, const std::string& message) {
  std::fprintf(stderr, "devhost: %s\n", message.c_str());
  return status;
}

// A usage error is one line saying what is wrong and one saying where the usage is; the whole
// usage would bury the line that matters.
int FailUsage(const std::string& message, const std::string& command) {
  std::fprintf(stderr, "devhost: %s\n%s\n", message.c_str(), UsageHint(command).c_str());
  return kExitUsage;
}

int PrintHelp(const CommandLine& line) {
  if (line.help) {
    const std::string text = line.commandNamed ? SubcommandUsage(line.command) : OverviewUsage();
    std::fputs(text.c_str(), stdout);
  } else {
    std::printf("%s\n", VersionLine().c_str());
  }
  return kExitOk;
}

// Whatever a command printed is only done once it reached its file: a full disk or a closed
// pipe turns a success into a failure.
int Finish(int status) {
  errno = 0;
  bool failed = std::fflush(stdout) != 0 || std::ferror(stdout) != 0;
  int reason = errno;
  if (std::fclose(stdout) != 0 && !failed) {
    failed = true;
    reason = errno;
  }
  if (!failed) return status;
  std::fprintf(stderr, "devhost: cannot write standard output: %s\n",
               reason != 0 ? std::strerror(reason) : "a write failed");
  return status == kExitOk ? kExitFailed : status;
}

int Run(int argc, char** argv);

}  // namespace

int main(int argc, char** argv) { return Finish(Run(argc, argv)); }

namespace {

int Run(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  CommandLine line;
  try {
    line = ParseCommandLine(args);
  } catch (const UsageError& error) {
    return FailUsage(error.what(), NamedSubcommand(args));
  }
  if (line.help || line.version) return PrintHelp(line);
  InstallStopHandlers();
  Console console(stdout, line.json, ConsoleLevel(line));
  try {
    PluginOutput pluginOutput(line);
    return RunSubcommand(line, console);
  } catch (const UsageError& error) {
    return FailUsage(error.what(), line.commandNamed ? line.command : std::string());
  } catch (const ConfigError& error) {
    return Fail(kExitUsage, error.what());
  } catch (const PluginError& error) {
    return Fail(kExitPlugin, error.what());
  } catch (const SerialError& error) {
    return Fail(kExitSerial, error.what());
  } catch (const StoreError& error) {
    return Fail(kExitDatabase, error.what());
  } catch (const ControlError& error) {
    return Fail(kExitUsage, error.what());
  } catch (const std::exception& error) {
    return Fail(kExitFailed, error.what());
  }
}

}  // namespace

// devhost: the reference host. Loads device plug-ins the way the controller does and runs their
// devices over Modbus-RTU serial lines, keeping what they report in SQLite.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "cli/CommandLine.h"
#include "cli/Subcommand.h"
#include "cli/Usage.h"
#include "config/HostConfig.h"
#include "control/SocketIo.h"
#include "events/Console.h"
#include "line/SerialLine.h"
#include "service/ExitStatus.h"
#include "service/Host.h"
#include "service/Signals.h"
#include "store/Store.h"

namespace {

// The plug-ins write their diagnostic lines to std::cout. They go to standard error (or a file)
// so that standard output carries only the host's own lines, which --json keeps parseable.
class PluginOutput {
 public:
  explicit PluginOutput(const std::string& path) : previous_(std::cout.rdbuf()) {
    if (!path.empty()) {
      file_.open(path, std::ios::app);
      if (!file_) throw UsageError("--plugin-log: cannot open " + path);
      std::cout.rdbuf(file_.rdbuf());
    } else {
      std::cout.rdbuf(std::cerr.rdbuf());
    }
  }
  ~PluginOutput() {
    std::cout.flush();
    std::cout.rdbuf(previous_);
  }

 private:
  std::streambuf* previous_;
  std::ofstream file_;
};

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
  Console console(stdout, line.json);
  try {
    PluginOutput pluginOutput(line.pluginLog);
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

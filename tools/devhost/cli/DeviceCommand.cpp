#include "cli/DeviceCommand.h"

#include <chrono>
#include <cstdio>
#include <optional>

#include "cli/InProcessHost.h"
#include "control/ControlClient.h"
#include "control/RequestHandler.h"
#include "service/ExitStatus.h"

namespace {

// Long enough for a write, the cycle that shows it and a busy line before it; a change waits
// for the line to finish its round, then for the write and two reads.
constexpr std::chrono::seconds kAnswerLimit{60};

void Print(const std::string& text) { std::fwrite(text.data(), 1, text.size(), stdout); }

// The same output whoever answered.
int PrintAnswer(Json::Value answer, const DeviceCommand& command, const HostConfig& config,
                const CommandLine& line, bool json) {
  int status = answer["exit_code"].asInt();
  if (answer.isMember("error")) {
    std::fprintf(stderr, "devhost: the running host refused the request: %s\n",
                 answer["error"].asString().c_str());
    return status;
  }
  if (status == kExitOk && command.follow) status = command.follow(answer, config, line);
  const std::string text = answer["text"].asString();
  answer.removeMember("text");
  Print(json ? DocumentText(answer) : text);
  return status;
}

}  // namespace

int RunDeviceCommand(const DeviceCommand& command, const CommandLine& line, Console& console) {
  const HostConfig config = LoadHostConfig(line.configPath, line.overrides);
  const Json::Value request = command.request(line, config);
  std::optional<Json::Value> answer = AskRunningHost(config.controlSocket, request, kAnswerLimit);
  if (!answer) answer = AnswerDocument(AnswerInProcess(config, request, command));
  return PrintAnswer(*answer, command, config, line, console.Json());
}

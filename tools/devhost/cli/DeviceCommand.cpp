// SPDX-License-Identifier: Apache-2.0
#include "cli/DeviceCommand.h"

#include <chrono>
#include <cstdio>
#include <optional>

#include "base/ExitStatus.h"
#include "base/Signals.h"
#include "cli/InProcessHost.h"
#include "control/ControlClient.h"
#include "control/Identity.h"
#include "control/RequestHandler.h"
#include "control/SocketIo.h"

namespace {

// Long enough for a write, the cycle that shows it and a busy line before it; a change waits
// for the line to finish its round, then for the write and two reads.
constexpr std::chrono::seconds kAnswerLimit{60};

void WriteToStdout(const std::string& text) { std::fwrite(text.data(), 1, text.size(), stdout); }

// The same output whoever answered.
int PrintAnswer(Json::Value answer, const DeviceCommand& command, const HostConfig& config,
                const CommandLine& line, bool json) {
  int status = answer["exit_code"].asInt();
  answer.removeMember("host");
  if (answer.isMember("error")) {
    std::fprintf(stderr,
                 answer["maybe_done"].asBool()
                     ? "devhost: the running host failed while carrying out the request (it may "
                       "have been done in part): %s\n"
                     : "devhost: the running host refused the request: %s\n",
                 answer["error"].asString().c_str());
    return status;
  }
  if (status == kExitOk && command.follow) status = command.follow(answer, config, line);
  const std::string text = answer["text"].asString();
  answer.removeMember("text");
  WriteToStdout(json ? DocumentText(answer) : text);
  return status;
}

}  // namespace

int RunDeviceCommand(const DeviceCommand& command, const CommandLine& line, Console& console) {
  const HostConfig config = LoadHostConfig(line.configPath, line.overrides);
  Json::Value request = command.request(line, config);
  request["command"] = command.control;
  request["host"] = HostIdentity(config);
  // Ctrl-C ends the wait for a host's answer at once.
  SetWaitBreaker(StopDescriptor());
  std::optional<Json::Value> answer =
      AskRunningHost(config.controlSocket, request, kAnswerLimit, config.controlSocketGroup);
  // The socket's own refusal (busy, too many clients, too large, incomplete) comes before the
  // request is read: it names no configuration, and says why nothing was done.
  const bool refusedUnread = answer && !answer->isMember("host") && answer->isMember("error");
  if (answer && !refusedUnread && (*answer)["host"] != request["host"]) {
    // Its configuration is not ours: whatever it says it did, it did not do what we asked.
    throw ControlError("the host at " + config.controlSocket + " runs " +
                       IdentityText((*answer)["host"]) + ", not " + IdentityText(request["host"]) +
                       "; its answer is not taken (give each configuration its own controlSocket)");
  }
  if (!answer) answer = AnswerDocument(AnswerInProcess(config, request, command));
  return PrintAnswer(*answer, command, config, line, console.Json());
}

// scan, readdress and rebaud: finding a sensor on the bus and moving it to another address or
// speed, with the host following it there.
#include <cstdio>

#include "cli/Commands.h"
#include "commission/ConfigEdit.h"
#include "commission/LineChange.h"
#include "commission/ScanReport.h"
#include "commission/Scanner.h"
#include "control/ControlClient.h"
#include "events/Console.h"
#include "events/EventFormat.h"
#include "service/CommandResult.h"
#include "service/Host.h"
#include "service/Signals.h"

namespace {

// A change waits for the line to finish its round, then for the write and two reads.
constexpr std::chrono::seconds kAnswerLimit{60};

void Print(const std::string& text) { std::fwrite(text.data(), 1, text.size(), stdout); }

Json::Value ChangeRequest(const CommandLine& line) {
  Json::Value request(Json::objectValue);
  request["command"] = line.command;
  request["data_id"] = line.dataId;
  if (line.command == "rebaud") {
    request["baud"] = line.target;
    request["force"] = line.force;
  } else {
    request["address"] = line.target;
  }
  return request;
}

// No host runs on this configuration: the change is made here, on the line opened for it.
Json::Value ChangeHere(const HostConfig& config, const CommandLine& line) {
  Host host(config);
  host.Start();
  CollectingSink collected;
  host.AddSink(collected);
  LineController* controller = nullptr;
  HostedDevice* device = host.Find(line.dataId, &controller);
  const int status = line.command == "rebaud"
                         ? ChangeSpeed(*controller, *device, line.target, line.force)
                         : ChangeAddress(*controller, *device, line.target);
  const CommandResult result{line.command, status, collected.Events()};
  Json::Value answer = result.Document();
  answer["text"] = result.Text();
  return answer;
}

void AddNotice(Json::Value& answer, const std::string& text) {
  const HostEvent event{std::time(nullptr), NoticeEvent{text}};
  if (auto json = EventObject(event.body)) {
    (*json)["time"] = IsoTimeText(event.time);
    answer["events"].append(*json);
  }
  answer["text"] = answer["text"].asString() + TimedLines(event);
}

// The configuration still names the old setting: says which member to change, or changes it.
int FollowInConfig(Json::Value& answer, const HostConfig& config, const CommandLine& line) {
  const ConfigMember member = line.command == "rebaud"
                                  ? SpeedMember(config, line.dataId, line.target)
                                  : AddressMember(config, line.dataId, line.target);
  Json::Value& described = answer["config"];
  described["file"] = config.path;
  described["member"] = member.Path();
  described["value"] = static_cast<Json::Int64>(member.value);
  described["updated"] = false;
  const std::string setting = member.Path() + " to " + std::to_string(member.value);
  if (!line.updateConfig) {
    AddNotice(answer, "set " + setting + " in " + config.path +
                          " for the host to find the sensor at its next start");
    return answer["exit_code"].asInt();
  }
  try {
    const std::string backup = UpdateConfigFile(config.path, member);
    described["updated"] = true;
    described["backup"] = backup;
    AddNotice(answer,
              "updated " + setting + " in " + config.path + " (the old file is " + backup + ")");
    return answer["exit_code"].asInt();
  } catch (const ConfigError& error) {
    // The sensor has moved all the same; nothing may hide how to find it again.
    AddNotice(answer, std::string("could not update the configuration: ") + error.what() +
                          "; set " + setting + " in " + config.path + " by hand");
    answer["exit_code"] = kExitUsage;
    return kExitUsage;
  }
}

int ChangeCommand(const CommandLine& line, Console& console) {
  const HostConfig config = LoadHostConfig(line.configPath, line.overrides);
  if (config.FindDevice(line.dataId) == nullptr) {
    throw ConfigError("configuration " + config.path + " has no device with data id " +
                      std::to_string(line.dataId));
  }
  std::optional<Json::Value> answer =
      AskRunningHost(config.controlSocket, ChangeRequest(line), kAnswerLimit);
  if (!answer) answer = ChangeHere(config, line);
  if (answer->isMember("error")) {
    std::fprintf(stderr, "devhost: the running host refused the request: %s\n",
                 (*answer)["error"].asString().c_str());
    return (*answer)["exit_code"].asInt();
  }
  int status = (*answer)["exit_code"].asInt();
  if (status == kExitOk) status = FollowInConfig(*answer, config, line);
  const std::string text = (*answer)["text"].asString();
  answer->removeMember("text");
  Print(console.Json() ? DocumentText(*answer) : text);
  return status;
}

}  // namespace

int ScanCommand(const CommandLine& line, Console& console) {
  ScanProgressPrinter printer(stderr);
  Scanner scanner(line.scan, [&printer](const ScanProgress& progress, const ScanHit* hit) {
    printer.Show(progress, hit);
  });
  const ScanResult result = scanner.Run();
  printer.Finish();
  if (result.stopped) std::fprintf(stderr, "devhost: scan stopped by signal\n");
  // Finding nothing is the answer "no sensor there", as a status without an answer is.
  const int status = result.hits.empty() ? kExitNoAnswer : kExitOk;
  Print(console.Json() ? DocumentText(ScanDocument(result, status)) : ScanTable(result));
  return status;
}

int ReaddressCommand(const CommandLine& line, Console& console) {
  return ChangeCommand(line, console);
}

int RebaudCommand(const CommandLine& line, Console& console) {
  return ChangeCommand(line, console);
}

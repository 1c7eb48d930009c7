// SPDX-License-Identifier: Apache-2.0
#include "control/RequestHandler.h"

#include <json/reader.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <memory>
#include <stdexcept>

#include "base/ExitStatus.h"
#include "commission/BusRegisters.h"
#include "commission/LineChange.h"
#include "commission/PendingChange.h"
#include "commission/UnfollowedChange.h"
#include "control/ControlServer.h"
#include "control/Identity.h"
#include "control/SocketIo.h"
#include "events/Clock.h"
#include "events/EventFormat.h"
#include "line/DeviceReports.h"
#include "line/LineController.h"
#include "line/LineJob.h"
#include "service/Host.h"

namespace {

// Lines polled at most this often show a write in their own next cycles.
constexpr int kLongestRoundAwaitedMs = 2500;

// A control error: answered with exit 2 on the socket, and so by a command's own host.
struct BadRequest : ControlError {
  using ControlError::ControlError;
};

Json::Value ParseRequest(const std::string& text) {
  Json::CharReaderBuilder builder;
  Json::CharReaderBuilder::strictMode(&builder.settings_);
  builder["stackLimit"] = 64;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value request;
  std::string errors;
  bool parsed = false;
  try {
    parsed = reader->parse(text.data(), text.data() + text.size(), &request, &errors);
  } catch (const Json::Exception&) {
    parsed = false;  // nested too deeply
  }
  if (!parsed) throw BadRequest("the request is not valid JSON");
  if (!request.isObject()) throw BadRequest("the request must be a JSON object");
  return request;
}

long long WholeNumber(const Json::Value& request, const char* member, long long low,
                      long long high) {
  const Json::Value& value = request[member];
  // isInt64 first: asLargestInt throws for a whole number past its range (1e19).
  if (!value.isInt64() || value.asLargestInt() < low || value.asLargestInt() > high) {
    throw BadRequest(std::string("\"") + member + "\" must be a whole number from " +
                     std::to_string(low) + " to " + std::to_string(high));
  }
  return value.asLargestInt();
}

std::vector<uint16_t> RegisterValues(const Json::Value& request) {
  const Json::Value& values = request["values"];
  if (!values.isArray() || values.empty() || values.size() > 123) {
    throw BadRequest("\"values\" must list 1 to 123 register values");
  }
  std::vector<uint16_t> words;
  for (const Json::Value& value : values) {
    if (!value.isInt64() || value.asLargestInt() < -32768 || value.asLargestInt() > 0xFFFF) {
      throw BadRequest("\"values\" must be whole numbers from -32768 to 65535");
    }
    words.push_back(static_cast<uint16_t>(value.asLargestInt() & 0xFFFF));
  }
  return words;
}

uint32_t CommissionTarget(RequestHandler& handler, const Json::Value& request,
                          const std::string& command) {
  if (!request.isMember("data_id")) throw BadRequest(command + " needs \"data_id\"");
  return handler.Targets(request).front();
}

PendingChange ChangeOf(const Json::Value& request, bool speed, int to) {
  const Json::Value& update = request["update_config"];
  if (!update.isNull() && !update.isBool()) {
    throw BadRequest("\"update_config\" must be true or false");
  }
  PendingChange change;
  change.dataId = static_cast<uint32_t>(request["data_id"].asLargestUInt());
  change.speed = speed;
  change.to = to;
  change.updateConfig = update.asBool();
  change.process = RecordedProcess::Self();
  return change;
}

CommandResult AnswerStatus(RequestHandler& handler, const Json::Value& request) {
  CommandResult result{"status", 0, {}};
  for (const uint32_t dataId : handler.Targets(request)) {
    auto answered = std::make_shared<bool>(false);
    handler.RunOnLine(
        dataId,
        [answered](LineController& line, HostedDevice& device) {
          *answered = EmitStatus(device, line.Events());
        },
        result.events);
    if (!*answered) result.exitStatus = kExitNoAnswer;
  }
  return result;
}

CommandResult AnswerAlarms(RequestHandler& handler, const Json::Value& request) {
  CommandResult result{"alarms", 0, {}};
  for (const uint32_t dataId : handler.Targets(request)) {
    handler.RunOnLine(
        dataId,
        [](LineController& line, HostedDevice& device) { EmitActiveAlarms(device, line.Events()); },
        result.events);
  }
  return result;
}

CommandResult AnswerWrite(RequestHandler& handler, const Json::Value& request) {
  if (!request.isMember("data_id")) throw BadRequest("write needs \"data_id\"");
  const uint32_t dataId = handler.Targets(request).front();
  const auto address = static_cast<uint16_t>(WholeNumber(request, "address", 0, 0xFFFF));
  const std::vector<uint16_t> values = RegisterValues(request);
  if (const auto refused = handler.BusWrite(dataId, address, values.size())) {
    throw BadRequest(*refused + "; nothing written");
  }
  std::vector<int> typed;
  for (const Json::Value& value : request["values"]) typed.push_back(value.asInt());
  CommandResult result{"write", 0, {}};
  auto outcome = std::make_shared<WriteResult>();
  const std::time_t writtenAt = WallNow();
  handler.RunOnLine(
      dataId,
      [outcome, address, values, typed](LineController& line, HostedDevice& device) {
        *outcome = line.WriteRegisters(device, address, values, typed);
      },
      result.events, true);
  result.exitStatus = outcome->exitStatus;
  try {
    handler.AwaitCycleAfter(dataId, writtenAt, result.events);
    handler.RunOnLine(
        dataId,
        [](LineController& line, HostedDevice& device) { EmitStatus(device, line.Events()); },
        result.events);
  } catch (const NotSent& error) {
    // The write's outcome stands; only the cycle that would show it is missing.
    result.events.push_back(HostEvent{
        WallNow(), NoticeEvent{std::string("no status after the write: ") + error.what()}});
  }
  return result;
}

CommandResult AnswerReaddress(RequestHandler& handler, const Json::Value& request) {
  CommissionTarget(handler, request, "readdress");
  const int address = static_cast<int>(WholeNumber(request, "address", 1, 247));
  return handler.RunCommission(ChangeOf(request, false, address),
                               [address](LineController& line, HostedDevice& device) {
                                 return ChangeAddress(line, device, address);
                               });
}

CommandResult AnswerRebaud(RequestHandler& handler, const Json::Value& request) {
  CommissionTarget(handler, request, "rebaud");
  const int baud = static_cast<int>(WholeNumber(request, "baud", 1, 10000000));
  const Json::Value& force = request["force"];
  if (!force.isNull() && !force.isBool()) throw BadRequest("\"force\" must be true or false");
  return handler.RunCommission(
      ChangeOf(request, true, baud),
      [baud, force = force.asBool()](LineController& line, HostedDevice& device) {
        return ChangeSpeed(line, device, baud, force);
      });
}

// The protocol's requests: each name and what answers it. A request is added here alone: its
// answer above, made of RequestHandler's public members, and its row.
//   {"command": "status"|"alarms", "data_id": N (optional: every device)}
//   {"command": "write", "data_id": N, "address": A, "values": [V, ...]}
//   {"command": "readdress", "data_id": N, "address": A, "update_config": false}
//   {"command": "rebaud", "data_id": N, "baud": B, "force": false, "update_config": false}
struct RequestEntry {
  const char* name;
  CommandResult (*answer)(RequestHandler& handler, const Json::Value& request);
};

constexpr RequestEntry kRequestTable[] = {
    {"status", AnswerStatus},       {"alarms", AnswerAlarms}, {"write", AnswerWrite},
    {"readdress", AnswerReaddress}, {"rebaud", AnswerRebaud},
};

const RequestEntry* RequestNamed(const std::string& name) {
  for (const RequestEntry& entry : kRequestTable) {
    if (name == entry.name) return &entry;
  }
  return nullptr;
}

}  // namespace

bool IsControlRequest(const std::string& name) { return RequestNamed(name) != nullptr; }

Json::Value AnswerDocument(const CommandResult& result) {
  Json::Value answer = result.Document();
  answer["text"] = result.Text();
  return answer;
}

std::string AnswerText(const CommandResult& result) {
  return CompactJson(AnswerDocument(result)) + "\n";
}

std::string RequestHandler::operator()(const std::string& requestText) {
  Json::Value answer;
  try {
    answer = AnswerDocument(Answer(ParseRequest(requestText)));
  } catch (const BadRequest& error) {
    answer = ErrorDocument(error.what(), kExitUsage);
  } catch (const NotSent& error) {
    answer = ErrorDocument(error.what(), kExitFailed);
  } catch (const std::exception& error) {
    // Past a job that started: it may have been carried out in part.
    answer = ErrorDocument(error.what(), kExitFailed);
    answer["maybe_done"] = true;
  }
  answer["host"] = HostIdentity(host_.Config());
  return CompactJson(answer) + "\n";
}

void RequestHandler::CheckMeantForMe(const Json::Value& request) const {
  if (!request.isMember("host")) return;  // a request written by hand
  const Json::Value mine = HostIdentity(host_.Config());
  if (request["host"] != mine) {
    throw BadRequest("this host runs " + IdentityText(mine) + ", not " +
                     IdentityText(request["host"]) + ": nothing done");
  }
}

CommandResult RequestHandler::Answer(const Json::Value& request) {
  const Json::Value& command = request["command"];
  if (!command.isString()) throw BadRequest("the request needs a \"command\"");
  const RequestEntry* entry = RequestNamed(command.asString());
  if (entry == nullptr) {
    throw BadRequest("unknown command \"" + QuotedText(command.asString()) + "\"");
  }
  CheckMeantForMe(request);
  return entry->answer(*this, request);
}

std::vector<uint32_t> RequestHandler::Targets(const Json::Value& request) const {
  std::vector<uint32_t> targets;
  if (request.isMember("data_id")) {
    const auto dataId = static_cast<uint32_t>(WholeNumber(request, "data_id", 0, 0xFFFFFFFFLL));
    if (host_.Find(dataId, nullptr) == nullptr) {
      throw BadRequest("no device with data id " + std::to_string(dataId));
    }
    targets.push_back(dataId);
    return targets;
  }
  for (auto& line : host_.Lines()) {
    for (auto& device : line->Devices()) targets.push_back(device->dataId);
  }
  return targets;
}

void RequestHandler::RunOnLine(uint32_t dataId, const DeviceJob& job,
                               std::vector<HostEvent>& events, bool talksOnBus) {
  LineController* line = nullptr;
  host_.Find(dataId, &line);
  if (line == nullptr) throw BadRequest("no device with data id " + std::to_string(dataId));
  std::vector<HostEvent> collected;
  RunLineJob(
      *line,
      [&collected, line, dataId, job] {
        CollectingSink sink;
        ScopedSink scoped(line->Events(), sink);
        if (HostedDevice* device = line->Devices().Find(dataId)) job(*line, *device);
        collected = sink.Events();
      },
      talksOnBus, kLineTimeout, "device " + std::to_string(dataId));
  events.insert(events.end(), collected.begin(), collected.end());
}

void RequestHandler::AwaitCycleAfter(uint32_t dataId, std::time_t second,
                                     std::vector<HostEvent>& events) {
  LineController* line = nullptr;
  host_.Find(dataId, &line);
  const int interval = line->Config().pollIntervalMs;
  if (interval <= kLongestRoundAwaitedMs) {
    const auto patience = std::chrono::milliseconds(std::min(interval + 2500, 5000));
    line->Progress().WaitForCycleAfter(dataId, second, std::chrono::steady_clock::now() + patience);
    return;
  }
  // The next round is further off than an answer waits: a cycle is polled for it.
  RunOnLine(
      dataId,
      [](LineController& line, HostedDevice& device) {
        WaitForNextSecond(device);
        line.PollDevice(device);
      },
      events, true);
}

std::optional<std::string> RequestHandler::BusWrite(uint32_t dataId, unsigned first,
                                                    std::size_t count) const {
  const HostedDevice* device = host_.Find(dataId, nullptr);
  if (device == nullptr) return std::nullopt;
  return BusRegisterWrite(*device, first, count, host_.Config().path);
}

CommandResult RequestHandler::RunCommission(const PendingChange& change, const CommissionJob& job) {
  CommandResult result{change.Command(), 0, {}};
  const std::string& database = host_.Config().database;
  if (const auto unfollowed = UnfollowedChange(host_.Config(), change.dataId)) {
    throw BadRequest("not done: " + *unfollowed + "; nothing sent");
  }
  // Before any register is written: a host killed from here on leaves the record for its next
  // start to find the sensor by.
  try {
    RecordPendingChange(database, change);
  } catch (const ConfigError& error) {
    throw NotSent(std::string(error.what()) + "; nothing sent");
  }
  // No answer unless the job ran on the line and said otherwise; the job may still run after a
  // line that took too long was given up, so it holds what it uses.
  auto status = std::make_shared<int>(kExitNoAnswer);
  try {
    RunOnLine(
        change.dataId,
        [status, job](LineController& line, HostedDevice& device) { *status = job(line, device); },
        result.events, true);
  } catch (const NotSent&) {
    ClearPendingChange(database, change.dataId);
    throw;
  }
  result.exitStatus = *status;
  // A verified change the client is to write into the configuration stays recorded, marked
  // verified, until it has (cli FollowInConfig): if it never gets there, the next start follows
  // the change and says it was done.
  if (!(change.updateConfig && *status == kExitOk)) {
    ClearPendingChange(database, change.dataId);
    return result;
  }
  PendingChange verified = change;
  verified.verified = true;
  try {
    RecordPendingChange(database, verified);
  } catch (const ConfigError&) {
    // The record as written before stays: the next start still finds the sensor by it.
  }
  return result;
}

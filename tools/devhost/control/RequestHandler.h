// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <chrono>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include <json/value.h>

#include "service/CommandResult.h"

class Host;
class LineController;
struct HostedDevice;
struct PendingChange;

// Carries out the requests that reach a running host through its control socket. Each request
// becomes jobs on the lines of the devices it names, so it runs between poll cycles on the
// thread that owns the line; the answer is the command's result, as a stand-alone command would
// print it, plus its text lines.
//
// Every request may name the host it is meant for ("host": control/Identity.h); every answer
// names the host that gave it.
// Requests: {"command": "status"|"alarms", "data_id": N (optional: every device)}
//           {"command": "write", "data_id": N, "address": A, "values": [V, ...]}
//           {"command": "readdress", "data_id": N, "address": A, "update_config": false}
//           {"command": "rebaud", "data_id": N, "baud": B, "force": false, "update_config": false}
// A readdress or rebaud is recorded beside the database before its write (PendingChange) by
// the host, never by the client: a member of the socket's group need not write there.
class RequestHandler {
 public:
  static constexpr std::chrono::seconds kLineTimeout{30};

  explicit RequestHandler(Host& host) : host_(host) {}

  // Never throws: a bad request gets an error answer.
  std::string operator()(const std::string& requestText);
  // The result of the request it names (control/ControlRequest.h); throws for a request it
  // cannot carry out.
  CommandResult Answer(const Json::Value& request);

  // Each device command's own answer.
  CommandResult Status(const Json::Value& request);
  CommandResult Alarms(const Json::Value& request);
  CommandResult Write(const Json::Value& request);
  // The device moved to another address, or its line to another speed, and followed there.
  CommandResult Readdress(const Json::Value& request);
  CommandResult Rebaud(const Json::Value& request);

 private:
  using DeviceJob = std::function<void(LineController&, HostedDevice&)>;
  // A commissioning change made on the line; its exit status.
  using CommissionJob = std::function<int(LineController&, HostedDevice&)>;

  uint32_t CommissionTarget(const Json::Value& request, const std::string& command);
  CommandResult RunCommission(const PendingChange& change, const CommissionJob& job);
  PendingChange ChangeOf(const Json::Value& request, bool speed, int to) const;
  // The devices a request names: one, or every device when it names none.
  std::vector<uint32_t> Targets(const Json::Value& request) const;
  // Until the device completed a cycle in a second after `second` (bounded): the document then
  // shows what happened in it.
  void AwaitCycleAfter(uint32_t dataId, std::time_t second, std::vector<HostEvent>& events);
  // Runs `job` on the device's line, adding the events it emits to `events` (line/LineJob.h:
  // NotSent when it never ran).
  void RunOnLine(uint32_t dataId, const DeviceJob& job, std::vector<HostEvent>& events,
                 bool talksOnBus = false);
  // BadRequest for a request whose client read another configuration.
  void CheckMeantForMe(const Json::Value& request) const;

  Host& host_;
};

// The answer: the result's document with its text lines under "text".
Json::Value AnswerDocument(const CommandResult& result);
std::string AnswerText(const CommandResult& result);

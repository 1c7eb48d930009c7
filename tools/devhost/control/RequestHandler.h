// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <chrono>
#include <cstddef>
#include <ctime>
#include <functional>
#include <optional>
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
// print it, plus its text lines. The requests and their answers are the protocol's table in
// control/RequestHandler.cpp; this class is what they are made of.
//
// Every request may name the host it is meant for ("host": control/Identity.h); every answer
// names the host that gave it.
class RequestHandler {
 public:
  static constexpr std::chrono::seconds kLineTimeout{30};
  using DeviceJob = std::function<void(LineController&, HostedDevice&)>;
  // A commissioning change made on the line; its exit status.
  using CommissionJob = std::function<int(LineController&, HostedDevice&)>;

  explicit RequestHandler(Host& host) : host_(host) {}

  // Never throws: a bad request gets an error answer.
  std::string operator()(const std::string& requestText);
  // The result of the request it names; throws for a request it cannot carry out.
  CommandResult Answer(const Json::Value& request);

  // The devices a request names: one, or every device when it names none.
  std::vector<uint32_t> Targets(const Json::Value& request) const;
  // Runs `job` on the device's line, adding the events it emits to `events` (line/LineJob.h:
  // NotSent when it never ran).
  void RunOnLine(uint32_t dataId, const DeviceJob& job, std::vector<HostEvent>& events,
                 bool talksOnBus = false);
  // Until the device completed a cycle in a second after `second` (bounded): the document then
  // shows what happened in it.
  void AwaitCycleAfter(uint32_t dataId, std::time_t second, std::vector<HostEvent>& events);
  // A readdress or rebaud: recorded beside the database before its write (PendingChange) by
  // the host, never by the client, as a member of the socket's group need not write there.
  CommandResult RunCommission(const PendingChange& change, const CommissionJob& job);
  // Why a plain write of `count` registers from `first` is refused: it reaches the device's bus
  // registers, which readdress and rebaud change (commission/BusRegisters.h).
  std::optional<std::string> BusWrite(uint32_t dataId, unsigned first, std::size_t count) const;

 private:
  // BadRequest for a request whose client read another configuration.
  void CheckMeantForMe(const Json::Value& request) const;

  Host& host_;
};

// Whether the protocol has a request of that name ("status"); each device command of the
// command line is one.
bool IsControlRequest(const std::string& name);

// The answer: the result's document with its text lines under "text".
Json::Value AnswerDocument(const CommandResult& result);
std::string AnswerText(const CommandResult& result);

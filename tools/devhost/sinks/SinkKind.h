// SPDX-License-Identifier: Apache-2.0
#pragma once
// What the host needs to know of an output (a sink) to build, run and stop it. Every kind of sink
// declares itself once, in the table SinkKinds() returns (cli/SinkRegistry.h), and its
// configuration block once in SinkBlocks() (config/SinkBlocks.h): the configuration reads the
// block with the sink's own parser, and the host builds every configured sink from its kind.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

class EventSink;
class Host;
struct HostConfig;

// What a sink did with one device's events in this run, for the summary and the metrics.
struct SinkCount {
  std::string sink;  // the sink's configuration member: "mqtt"
  uint32_t dataId = 0;
  unsigned long published = 0;
  unsigned long dropped = 0;     // never handed on: its queue was full
  unsigned long superseded = 0;  // an unsent state replaced by a newer one
};

// What the queue of a sink that may block lost of one device's events.
struct QueueLoss {
  unsigned long dropped = 0;
  unsigned long superseded = 0;
};
using QueueLosses = std::map<uint32_t, QueueLoss>;

// A sink the host runs, made by its kind's build function.
class HostedSink {
 public:
  virtual ~HostedSink() = default;
  // What takes every line's events (through a queue of its own when the kind may block);
  // nullptr when the sink took its place on each line itself while it was built.
  virtual EventSink* Events() = 0;
  // After Events() takes events: connects, listens.
  virtual void Start() {}
  // Called from any thread.
  virtual std::vector<SinkCount> Counts() { return {}; }
  // The lines have stopped and the sink's queue is done: ends within a bound of its own and says
  // what it did (its events go out on the lines' fanouts, to the console and the store), adding
  // what its queue lost.
  virtual void Stop(Host& host, const QueueLosses& losses) = 0;
};

// What a sink's build function is given.
struct SinkSite {
  Host& host;
  EventSink& notices;  // the console
  // What every running sink did so far (for a sink that reports on the others).
  std::function<std::vector<SinkCount>()> counts;
};

struct SinkKind {
  std::string member;  // the configuration's member: "mqtt" (its block: config/SinkBlocks.h)
  // Its Take may wait (a socket): it runs on a thread of its own behind a bounded queue.
  bool mayBlock = false;
  // Builds the sink when `config` has its block; nullptr when it has not.
  std::function<std::unique_ptr<HostedSink>(const HostConfig& config, SinkSite& site)> build;
};

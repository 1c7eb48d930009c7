// SPDX-License-Identifier: Apache-2.0
// Its kind is declared where the host lists the kinds (cli/SinkRegistry.cpp).
#include "sinks/SinkKind.h"

#include <any>
#include <mutex>

#include "config/HostConfig.h"
#include "config/PrometheusConfig.h"
#include "events/Event.h"
#include "prometheus/MetricsBook.h"
#include "prometheus/MetricsServer.h"
#include "service/Host.h"

namespace {

// The book the lines write and the scrapes read.
struct SharedBook {
  std::mutex mutex;
  MetricsBook book;
};

// One line's events into the book; at the end of each poll the line's own counts of its
// devices, read on the line's thread that alone changes them.
class LineTap : public EventSink {
 public:
  LineTap(LineController& line, SharedBook& shared) : line_(line), shared_(shared) {}

  void Take(const HostEvent& event) override {
    std::lock_guard<std::mutex> lock(shared_.mutex);
    shared_.book.Take(event);
  }
  void Flush() override {
    std::lock_guard<std::mutex> lock(shared_.mutex);
    for (const auto& device : line_.Devices()) {
      shared_.book.SetCounts(device->dataId, device->cycles, device->failedPolls, device->errors);
    }
  }

 private:
  LineController& line_;
  SharedBook& shared_;
};

class PrometheusSink : public HostedSink {
 public:
  PrometheusSink(const PrometheusConfig& config, SinkSite& site)
      : host_(site.host),
        notices_(site.notices),
        counts_(site.counts),
        address_(config.address),
        server_(config.address, config.port, [this] { return Exposition(); }) {
    for (auto& line : site.host.Lines()) {
      for (const auto& device : line->Devices()) {
        shared_.book.AddDevice(device->dataId, device->type, line->Config().device);
      }
      taps_.push_back(std::make_unique<LineTap>(*line, shared_));
      line->Events().Add(*taps_.back());
    }
  }

  // Each line has its own tap.
  EventSink* Events() override { return nullptr; }
  void Start() override {
    server_.Start();
    notices_.Take(HostEvent{std::time(nullptr), NoticeEvent{"prometheus: metrics at http://" +
                                                            Authority() + "/metrics"}});
  }
  void Stop(Host&, const QueueLosses&) override {
    server_.Stop();
    RemoveTaps();
  }
  // Also when the start failed half-way: the lines outlive the sink.
  ~PrometheusSink() override {
    server_.Stop();
    RemoveTaps();
  }
  PrometheusSink(const PrometheusSink&) = delete;
  PrometheusSink& operator=(const PrometheusSink&) = delete;

 private:
  void RemoveTaps() {
    for (auto& line : host_.Lines()) {
      for (auto& tap : taps_) line->Events().Remove(*tap);
    }
  }
  std::string Authority() const {
    const bool v6 = address_.find(':') != std::string::npos;
    return (v6 ? "[" + address_ + "]" : address_) + ":" + std::to_string(server_.Port());
  }
  std::string Exposition() {
    MetricsBook copy;
    {
      std::lock_guard<std::mutex> lock(shared_.mutex);
      copy = shared_.book;
    }
    return copy.Render(std::time(nullptr), counts_());
  }

  Host& host_;
  EventSink& notices_;
  std::function<std::vector<SinkCount>()> counts_;
  std::string address_;
  SharedBook shared_;
  std::vector<std::unique_ptr<LineTap>> taps_;
  MetricsServer server_;
};

}  // namespace

SinkKind PrometheusSinkKind() {
  SinkKind kind;
  kind.member = "prometheus";
  kind.build = [](const HostConfig& config, SinkSite& site) -> std::unique_ptr<HostedSink> {
    const auto found = config.sinks.find("prometheus");
    if (found == config.sinks.end()) return nullptr;
    return std::make_unique<PrometheusSink>(std::any_cast<const PrometheusConfig&>(found->second),
                                            site);
  };
  return kind;
}

// SPDX-License-Identifier: Apache-2.0
// The sink mechanism and the Prometheus sink's parts in-process: the bounded queue of a sink
// that may block, what the metrics book renders from the lines' events, the HTTP server's
// answers and limits on loopback, and the configuration members the sink kinds declare.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include "cli/SinkRegistry.h"
#include "config/HostConfig.h"
#include "config/PrometheusConfig.h"
#include "config/SinkBlocks.h"
#include "events/DeviceTypes.h"
#include "prometheus/MetricsBook.h"
#include "prometheus/MetricsServer.h"
#include "prometheus/RequestDeadlines.h"
#include "sinks/QueuedSink.h"

namespace {

using namespace std::chrono_literals;

HostEvent SinkCycle(uint32_t dataId, unsigned char first) {
  return {0, CycleEvent{dataId, {first}, std::nullopt, 0}};
}

HostEvent SinkAlarm(uint32_t dataId, const std::string& alarmId) {
  AlarmEvent alarm;
  alarm.dataId = dataId;
  alarm.alarmId = alarmId;
  alarm.active = true;
  return {0, alarm};
}

// A sink that holds every Take until it is let go, keeping what it took.
class GatedSink : public EventSink {
 public:
  void Take(const HostEvent& event) override {
    std::unique_lock<std::mutex> lock(mutex_);
    ++entered_;
    changed_.notify_all();
    changed_.wait(lock, [this] { return open_; });
    taken_.push_back(event);
  }
  void WaitEntered(int count) {
    std::unique_lock<std::mutex> lock(mutex_);
    ASSERT_TRUE(changed_.wait_for(lock, 10s, [&] { return entered_ >= count; }))
        << "waited 10 s for the queue's thread to hand on event " << count;
  }
  void Open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }
  std::vector<HostEvent> Taken() {
    std::lock_guard<std::mutex> lock(mutex_);
    return taken_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int entered_ = 0;
  bool open_ = false;
  std::vector<HostEvent> taken_;
};

// A fault caught: a full queue that drops alarms or link changes, lets memory grow, or loses a
// device's newest state; counts that do not say what went.
TEST(QueuedSink, AFullQueueSupersedesStatesPerDeviceAndKeepsAlarmsAndLinkChanges) {
  GatedSink target;
  QueuedSink queue(target, 3);
  queue.Start();
  queue.Take(SinkCycle(1, 0));  // held inside the target
  target.WaitEntered(1);
  queue.Take(SinkCycle(1, 1));
  queue.Take(SinkCycle(2, 1));
  queue.Take(SinkAlarm(1, "T01"));
  queue.Take(SinkCycle(1, 2));      // full: replaces device 1's queued state
  queue.Take(SinkAlarm(2, "T02"));  // full: the oldest state (device 1's) goes
  queue.Take(HostEvent{0, LinkEvent{2, true, 3, "timeout"}});  // and then device 2's
  queue.Take(SinkAlarm(1, "T03"));  // full of what must stay: let past the bound
  queue.Take(SinkCycle(3, 1));      // nothing to make room with: goes itself
  EXPECT_EQ(queue.Size(), 4u);
  target.Open();
  ASSERT_TRUE(queue.Stop(10s));
  const QueueLosses losses = queue.Losses();
  EXPECT_EQ(losses.at(1).superseded, 1u);
  EXPECT_EQ(losses.at(1).dropped, 1u);
  EXPECT_EQ(losses.at(2).dropped, 1u);
  EXPECT_EQ(losses.at(3).dropped, 1u);

  const std::vector<HostEvent> taken = target.Taken();
  ASSERT_EQ(taken.size(), 5u);
  EXPECT_EQ(std::get<AlarmEvent>(taken[1].body).alarmId, "T01");
  EXPECT_EQ(std::get<AlarmEvent>(taken[2].body).alarmId, "T02");
  EXPECT_TRUE(std::holds_alternative<LinkEvent>(taken[3].body));
  EXPECT_EQ(std::get<AlarmEvent>(taken[4].body).alarmId, "T03");
}

// A fault caught: a line's thread waiting for a sink that blocks, or a stop that waits for it.
TEST(QueuedSink, ABlockedSinkHoldsUpNeitherTheLineNorTheStop) {
  auto target = std::make_unique<GatedSink>();
  auto queue = std::make_unique<QueuedSink>(*target, 2);
  queue->Start();
  auto lineThread = std::async(std::launch::async, [&] {
    for (unsigned char i = 0; i < 200; ++i) queue->Take(SinkCycle(1, i));
  });
  ASSERT_EQ(lineThread.wait_for(30s), std::future_status::ready)
      << "the line's thread waited 30 s on a sink that blocks";
  target->WaitEntered(1);
  auto stop = std::async(std::launch::async, [&] { return queue->Stop(100ms); });
  ASSERT_EQ(stop.wait_for(30s), std::future_status::ready) << "the stop waited for the sink";
  EXPECT_FALSE(stop.get());  // the sink still holds its event
  EXPECT_EQ(queue->Losses().at(1).superseded + queue->Losses().at(1).dropped, 199u);
  // Let the thread that was left behind end, as the host's kept objects would. Both are kept
  // for the rest of the process, never destroyed: that thread may still hand its event on while
  // the process ends.
  target->Open();
  static auto* kept =
      new std::vector<std::pair<std::unique_ptr<QueuedSink>, std::unique_ptr<GatedSink>>>();
  kept->emplace_back(std::move(queue), std::move(target));
}

// The values a DO3008RA record would give: temperature, humidity, pressure, then the rest.
RecordValues SinkRecordValues(double temperature, double humidity, double pressure) {
  RecordValues values;
  values.type = &DeviceTypes().front();
  values.values.assign(values.type->fields.size(), 0);
  values.values[0] = temperature;
  values.values[1] = humidity;
  values.values[2] = pressure;
  return values;
}

bool HasLine(const std::string& text, const std::string& line) {
  return text.find("\n" + line + "\n") != std::string::npos || text.rfind(line + "\n", 0) == 0;
}

// Faults caught: values in the device's units instead of base units, a lost link that drops the
// values or does not say their age, an alarm rule that is not 0/1 per rule, counts missing, a
// line path with a quote that breaks the labels.
TEST(MetricsBook, ValuesInBaseUnitsStayWithTheirAgeWhenTheLinkIsLost) {
  MetricsBook book;
  const DeviceType* type = &DeviceTypes().front();
  book.AddDevice(12, type, "/dev/tty\"A\"");
  book.AddDevice(13, type, "/dev/ttyB");
  book.Take({1000, CycleEvent{12, {}, SinkRecordValues(23.4, 45.6, 1013.2), 0}});
  AlarmRuleEvent rule;
  rule.dataId = 12;
  rule.state.alarmId = "T01001";
  rule.state.signalName = "温度";
  book.Take({1000, rule});
  book.Take(SinkAlarm(12, "T01002"));
  book.Take({1010, LinkEvent{12, true, 3, "timeout"}});
  book.Take({1010, ErrorEvent{12, "disk full", 4, true, false}});
  book.SetCounts(12, 7, 3, 4);
  const std::string text = book.Render(1030, {{"mqtt", 12, 70, 1, 2}});

  const std::string labels =
      "data_id=\"12\",device_type=\"" + type->name + "\",line=\"/dev/tty\\\"A\\\"\"";
  EXPECT_TRUE(HasLine(text, "devhost_temperature_celsius{" + labels + "} 23.4")) << text;
  EXPECT_TRUE(HasLine(text, "devhost_humidity_ratio{" + labels + "} 0.456")) << text;
  EXPECT_TRUE(HasLine(text, "devhost_pressure_pascals{" + labels + "} 101320")) << text;
  EXPECT_TRUE(HasLine(text, "devhost_link_up{" + labels + "} 0")) << text;
  EXPECT_TRUE(HasLine(text, "devhost_values_age_seconds{" + labels + "} 30")) << text;
  EXPECT_TRUE(HasLine(text, "devhost_last_cycle_timestamp_seconds{" + labels + "} 1000")) << text;
  EXPECT_TRUE(
      HasLine(text, "devhost_alarm_active{" + labels + ",alarm_id=\"T01001\",signal=\"温度\"} 0"))
      << text;
  EXPECT_TRUE(
      HasLine(text, "devhost_alarm_active{" + labels + ",alarm_id=\"T01002\",signal=\"\"} 1"))
      << text;
  for (const auto& [name, value] :
       {std::make_pair("cycles", 7), std::make_pair("failed_polls", 3), std::make_pair("errors", 4),
        std::make_pair("store_failures", 1)}) {
    EXPECT_TRUE(HasLine(
        text, std::string("devhost_") + name + "_total{" + labels + "} " + std::to_string(value)))
        << name << "\n"
        << text;
  }
  EXPECT_TRUE(HasLine(text, "devhost_sink_superseded_total{sink=\"mqtt\",data_id=\"12\"} 2"));
  // A device that never completed a cycle: its link and counts, no values and no age.
  EXPECT_TRUE(HasLine(text, "devhost_link_up{data_id=\"13\",device_type=\"" + type->name +
                                "\",line=\"/dev/ttyB\"} 1"))
      << text;
  EXPECT_EQ(text.find("data_id=\"13\",device_type=\"" + type->name + "\",line=\"/dev/ttyB\"} 23"),
            std::string::npos);
}

// Fault caught: a backslash in a label value written as it is, which breaks the scrape or alters
// the label; quotes and newlines are escaped too.
TEST(MetricsBook, ALabelValueEscapesBackslashQuoteAndNewline) {
  MetricsBook book;
  book.AddDevice(12, &DeviceTypes().front(), "C:\\tty\"1\"\n");
  const std::string text = book.Render(1030, {});
  EXPECT_NE(text.find(R"(,line="C:\\tty\"1\"\n"})"), std::string::npos) << text;
}

// A GET of `target` on 127.0.0.1:port with `method`; what came back, "" when nothing did.
std::string SinkHttp(int port, const std::string& method, const std::string& target) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const timeval patience{10, 0};  // a scrape kept waiting is "nothing came back"
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
  std::string answer;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    const std::string request =
        method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    if (write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
      char buffer[4096];
      for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) answer.append(buffer, n);
    }
  }
  close(fd);
  return answer;
}

int SinkConnectSilently(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  const int small = 4096;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  const timeval patience{10, 0};  // a read gives up then
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  return fd;
}

// Faults caught: another path or method answered with the metrics, a wrong content type, and a
// server that serves nobody once scrapers that never read hold every connection it may have.
TEST(MetricsServer, AnswersOnlyGetMetricsAndStaysBoundedWithScrapersThatNeverRead) {
  std::atomic<int> renders{0};
  // More than the kernel's socket buffers take, so an unread answer stays with the server.
  const std::string big(8 * 1024 * 1024, '#');
  MetricsServer server("127.0.0.1", 0, [&] {
    ++renders;
    return "devhost_up 1\n" + big + "\n";
  });
  server.Start();
  const int port = server.Port();
  ASSERT_GT(port, 0);

  const std::string ok = SinkHttp(port, "GET", "/metrics");
  EXPECT_EQ(ok.rfind("HTTP/1.1 200", 0), 0u) << ok.substr(0, 200);
  EXPECT_NE(ok.find("text/plain; version=0.0.4; charset=utf-8"), std::string::npos);
  EXPECT_NE(ok.find("\r\n\r\ndevhost_up 1\n"), std::string::npos);
  EXPECT_EQ(SinkHttp(port, "GET", "/").rfind("HTTP/1.1 404", 0), 0u);
  EXPECT_EQ(SinkHttp(port, "GET", "/metrics/x").rfind("HTTP/1.1 404", 0), 0u);
  const std::string post = SinkHttp(port, "POST", "/metrics");
  EXPECT_EQ(post.rfind("HTTP/1.1 405", 0), 0u) << post;
  EXPECT_NE(post.find("Allow: GET"), std::string::npos) << post;
  EXPECT_EQ(renders.load(), 1);

  // Twice as many connections as allowed, each asking and never reading its answer.
  std::vector<int> hogs;
  for (unsigned i = 0; i < 2 * MetricsServer::kConnectionLimit; ++i) {
    const int fd = SinkConnectSilently(port);
    const std::string request = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    if (write(fd, request.data(), request.size()) < 0) ADD_FAILURE() << "write";
    hogs.push_back(fd);
  }
  std::this_thread::sleep_for(500ms);
  // Answers are made only for the connections the server took.
  EXPECT_LE(renders.load(), 1 + static_cast<int>(MetricsServer::kConnectionLimit));
  for (int fd : hogs) close(fd);
  // Once they are gone it serves again.
  std::string again;
  for (int attempt = 0; attempt < 100 && again.rfind("HTTP/1.1 200", 0) != 0; ++attempt) {
    again = SinkHttp(port, "GET", "/metrics");
    if (again.rfind("HTTP/1.1 200", 0) != 0) std::this_thread::sleep_for(100ms);
  }
  EXPECT_EQ(again.rfind("HTTP/1.1 200", 0), 0u) << "waited 10 s for a scrape to be served again";
  server.Stop();
}

// Faults caught: a request that trickles a byte at a time never cut (only the idle timer, which
// every byte resets), a full server that refuses the newcomer rather than the oldest trickler, a
// connection being answered made to give way, and a keep-alive connection's next request timed
// from the first.
TEST(RequestDeadlines, ATricklerIsCutAtItsDeadlineAndANewcomerAtTheLimitTakesTheOldestPlace) {
  RequestDeadlines requests(10s, 2);
  const RequestDeadlines::Clock::time_point t0{};
  int a = 0, b = 0, c = 0, d = 0;
  EXPECT_FALSE(requests.Started(&a, 10, t0));
  EXPECT_FALSE(requests.Started(&b, 11, t0 + 1s));
  requests.Answering(&a);
  EXPECT_EQ(requests.Started(&c, 12, t0 + 2s), std::optional<int>(11));  // not a: answered
  requests.Answering(&c);
  EXPECT_EQ(requests.Started(&d, 13, t0 + 3s), std::optional<int>(13));  // all answered
  requests.Completed(&a, t0 + 5s);  // its next request has a deadline of its own
  EXPECT_EQ(requests.Expired(t0 + 12s), std::vector<int>{12});
  EXPECT_TRUE(requests.Expired(t0 + 12s).empty());
  EXPECT_EQ(requests.Expired(t0 + 15s), std::vector<int>{10});
  EXPECT_FALSE(requests.Next());
}

// Faults caught (on loopback): trickling clients holding every connection so that no scrape gets
// through, a trickler never cut, HEAD refused, pipelined requests of which only one is answered.
TEST(MetricsServer, AScrapeGetsThroughSixteenTricklersWhoAreCutAndHeadAndPipelinesAreAnswered) {
  // Their deadline far away: only taking a trickler's place lets the scrape in.
  MetricsServer server(
      "127.0.0.1", 0, [] { return std::string("devhost_up 1\n"); }, 600s);
  server.Start();
  const int port = server.Port();
  std::vector<int> tricklers;  // one more than the limit: each newcomer must take a place
  for (unsigned i = 0; i <= MetricsServer::kConnectionLimit; ++i) {
    tricklers.push_back(SinkConnectSilently(port));
    if (write(tricklers.back(), "GET /metrics HTTP/1.1\r\nHo", 26) != 26) ADD_FAILURE() << "write";
  }
  const std::string scrape = SinkHttp(port, "GET", "/metrics");
  EXPECT_EQ(scrape.rfind("HTTP/1.1 200", 0), 0u) << scrape;
  char byte = 0;
  EXPECT_EQ(read(tricklers.front(), &byte, 1), 0) << "the oldest trickler kept its place";
  for (int fd : tricklers) close(fd);
  // A request past its deadline is cut.
  MetricsServer quick(
      "127.0.0.1", 0, [] { return std::string(); }, 1s);
  quick.Start();
  const int trickler = SinkConnectSilently(quick.Port());
  EXPECT_EQ(write(trickler, "G", 1), 1);
  EXPECT_EQ(read(trickler, &byte, 1), 0) << "a trickler still connected";
  close(trickler);

  const std::string head = SinkHttp(port, "HEAD", "/metrics");
  EXPECT_TRUE(head.rfind("HTTP/1.1 200", 0) == 0 && head.find("up 1") == std::string::npos) << head;

  // Three requests written at once, the last asking to close.
  const std::string pipelined = SinkHttp(
      port, "GET",
      "/metrics HTTP/1.1\r\nHost: a\r\n\r\nGET /metrics HTTP/1.1\r\nHost: a\r\n\r\nGET /metrics");
  long count = 0;
  for (std::size_t at = 0; (at = pipelined.find("HTTP/1.1 200", at)) != std::string::npos; ++at) {
    ++count;
  }
  EXPECT_EQ(count, 3) << pipelined;
  server.Stop();
}

// Faults caught: a sink's member that the unknown-member warning does not know (or the host
// warning of its block's own members), a listen address that is not checked, a sink kind whose
// block the configuration does not read (or a block no kind builds a sink of).
TEST(SinkKinds, EachSinkParsesItsOwnBlockAndTheWarningKnowsItsMembers) {
  ASSERT_EQ(SinkKinds().size(), SinkBlocks().size());
  for (std::size_t i = 0; i < SinkKinds().size(); ++i) {
    EXPECT_EQ(SinkKinds()[i].member, SinkBlocks()[i].member);
  }
  const std::string lines = R"("lines": [{"device": "/dev/null", "devices": [{"plugin": "x.so",
      "dataId": 1}]}])";
  const HostConfig config = ParseHostConfig(
      R"({"prometheus": {"listen": "[::1]:9200", "lisen": 1}, "mqtt": {"hots": "a"}, )" + lines +
          "}",
      "/tmp/host.json", {});
  EXPECT_EQ(config.warnings,
            (std::vector<std::string>{"mqtt.hots: unknown member, ignored",
                                      "prometheus.lisen: unknown member, ignored"}));
  const auto& prometheus = std::any_cast<const PrometheusConfig&>(config.sinks.at("prometheus"));
  EXPECT_EQ(prometheus.address, "::1");
  EXPECT_EQ(prometheus.port, 9200);
  const HostConfig plain = ParseHostConfig(R"({"prometheus": {}, )" + lines + "}", "/h.json", {});
  EXPECT_EQ(std::any_cast<const PrometheusConfig&>(plain.sinks.at("prometheus")).address,
            "127.0.0.1");
  for (const char* bad : {"9108", "localhost:9108", "127.0.0.1:0", "127.0.0.1:70000", "[::1]"}) {
    try {
      ParseHostConfig(std::string(R"({"prometheus": {"listen": ")") + bad + "\"}, " + lines + "}",
                      "/h.json", {});
      ADD_FAILURE() << bad << " was taken";
    } catch (const ConfigError& error) {
      EXPECT_NE(std::string(error.what()).find("prometheus.listen: expected"), std::string::npos)
          << error.what();
    }
  }
}

}  // namespace

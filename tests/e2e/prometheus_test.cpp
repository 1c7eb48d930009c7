// SPDX-License-Identifier: Apache-2.0
// The Prometheus endpoint scraped by a real Prometheus server started by the test on its own
// loopback port: the values, alarm states, link and counters read back through Prometheus's
// HTTP API, the exposition checked by promtool, and a lost link that keeps the last values. What
// the server answers to other paths and methods is tested in-process (tests/host/sink_parts_test).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <functional>
#include <optional>
#include <thread>

#include "Bench.h"
#include "Broker.h"
#include "Text.h"

namespace {

using namespace std::chrono_literals;

// Prometheus under sanitizers or a loaded machine takes its time to start and to scrape.
constexpr auto kPrometheusWait = 60s;

std::optional<std::string> ProgramOnPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string folders = path != nullptr ? path : "/usr/bin:/bin";
  for (std::size_t start = 0; start <= folders.size();) {
    const std::size_t end = std::min(folders.find(':', start), folders.size());
    const std::string candidate = folders.substr(start, end - start) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return std::nullopt;
}

// One HTTP/1.1 request to 127.0.0.1:port; the whole answer, "" when nobody answered.
std::string LoopbackHttp(int port, const std::string& method, const std::string& target) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval timeout{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  std::string answer;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    const std::string request =
        method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    if (write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
      char buffer[8192];
      for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) answer.append(buffer, n);
    }
  }
  close(fd);
  return answer;
}

std::string HttpBody(const std::string& answer) {
  const auto end = answer.find("\r\n\r\n");
  return end == std::string::npos ? "" : answer.substr(end + 4);
}

// The characters of a PromQL query that a URL's query string must escape.
std::string QueryText(const std::string& promql) {
  std::string escaped;
  for (unsigned char c : promql) {
    if (std::isalnum(c) != 0 || c == '_') {
      escaped += static_cast<char>(c);
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      escaped += hex;
    }
  }
  return escaped;
}

// A Prometheus server of the test's own, scraping the host every 500 ms.
class PrometheusServer {
 public:
  PrometheusServer(const TempDir& dir, const std::string& binary, int targetPort)
      : port_(FreePort()) {
    dir.Write("prometheus.yml",
              "global:\n  scrape_interval: 500ms\n  scrape_timeout: 400ms\n"
              "scrape_configs:\n  - job_name: devhost\n    static_configs:\n"
              "      - targets: ['127.0.0.1:" +
                  std::to_string(targetPort) + "']\n");
    process_ = std::make_unique<BackgroundProcess>(
        std::vector<std::string>{binary, "--config.file=" + dir.Path("prometheus.yml"),
                                 "--storage.tsdb.path=" + dir.Path("tsdb"),
                                 "--web.listen-address=127.0.0.1:" + std::to_string(port_)},
        dir.Path("prometheus.log"));
  }

  // The first sample of an instant query, when the query has one.
  std::optional<double> Value(const std::string& promql) const {
    const Json::Value answer =
        JsonValue(HttpBody(LoopbackHttp(port_, "GET", "/api/v1/query?query=" + QueryText(promql))));
    const Json::Value& result = answer["data"]["result"];
    if (answer["status"].asString() != "success" || !result.isArray() || result.empty()) {
      return std::nullopt;
    }
    return std::stod(result[0]["value"][1].asString());
  }
  // Waits (bounded) until the query's first sample satisfies `wanted`; the last one seen.
  std::optional<double> WaitFor(const std::string& promql,
                                const std::function<bool(double)>& wanted) const {
    const auto until = std::chrono::steady_clock::now() + kPrometheusWait;
    std::optional<double> value;
    while (std::chrono::steady_clock::now() < until) {
      value = Value(promql);
      if (value && wanted(*value)) return value;
      std::this_thread::sleep_for(250ms);
    }
    return value;
  }

 private:
  int port_;
  std::unique_ptr<BackgroundProcess> process_;
};

TEST(Prometheus, ARealServerScrapesValuesAlarmsAndALostLinkAndPromtoolTakesTheExposition) {
  const auto prometheus = ProgramOnPath("prometheus");
  if (!prometheus) GTEST_SKIP() << "no prometheus program (scripts/install-deps.sh installs it)";
  Bench bench;
  // 31.5 °C, above the rule's 28: the alarm is raised from the first evaluation on. No drift:
  // what Prometheus scraped is what the store kept.
  bench.StartSensor({"--static", "--temperature", "31.5"});
  const std::string path = bench.Config(Mode5Settings(28, 27), 200);
  const int port = FreePort();
  bench.dir.Write("host.json", R"({"prometheus": {"listen": "127.0.0.1:)" + std::to_string(port) +
                                   "\"}, " + ReadFile(path).substr(1));
  BackgroundProcess host(bench.HostCommand({"run", path}), bench.dir.Path("host.out"));
  ASSERT_TRUE(WaitForText(bench.dir.Path("host.out"), "/metrics", 30s))
      << "waited 30 s for the host to say where its metrics are\n"
      << ReadFile(bench.dir.Path("host.out"));
  PrometheusServer server(bench.dir, *prometheus, port);

  const std::string device = R"({data_id="12",job="devhost"})";
  const auto temperature =
      server.WaitFor("devhost_temperature_celsius" + device, [](double) { return true; });
  ASSERT_TRUE(temperature) << "waited " << kPrometheusWait.count()
                           << " s for Prometheus to scrape a temperature\n"
                           << ReadFile(bench.dir.Path("prometheus.log"));
  EXPECT_DOUBLE_EQ(*temperature, 31.5);
  EXPECT_EQ(server.Value("up{job=\"devhost\"}"), 1.0);
  EXPECT_EQ(server.Value("devhost_link_up" + device), 1.0);
  EXPECT_EQ(server.Value(R"(devhost_alarm_active{data_id="12",alarm_id="T01001"})"), 1.0);
  const auto cycles =
      server.WaitFor("devhost_cycles_total" + device, [](double n) { return n > 1; });
  EXPECT_TRUE(cycles && *cycles > 1);
  const auto pressure = server.Value("devhost_pressure_pascals" + device);
  ASSERT_TRUE(pressure);
  const auto stored = QueryRows(bench.Database(), "SELECT pressure FROM history LIMIT 1");
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_NEAR(*pressure, std::stod(stored[0][0]) * 100, 1e-6);

  // The exposition as served passes promtool's parser and its lint.
  const std::string exposition = LoopbackHttp(port, "GET", "/metrics");
  ASSERT_EQ(exposition.rfind("HTTP/1.1 200", 0), 0u) << exposition;
  bench.dir.Write("metrics.txt", HttpBody(exposition));
  const auto promtool = ProgramOnPath("promtool");
  ASSERT_TRUE(promtool) << "prometheus comes with promtool";
  const auto check = RunProgram(
      {"/bin/sh", "-c", *promtool + " check metrics < " + bench.dir.Path("metrics.txt")}, 30s);
  EXPECT_EQ(check.exitCode, 0) << check.out << check.err << HttpBody(exposition);
  EXPECT_EQ(check.out + check.err, "") << HttpBody(exposition);

  // The sensor goes: the link counts as lost, the last values stay, and their age grows.
  bench.StopSensor();
  const auto linkUp = server.WaitFor("devhost_link_up" + device, [](double up) { return up == 0; });
  EXPECT_EQ(linkUp, 0.0) << "waited " << kPrometheusWait.count() << " s for the lost link";
  EXPECT_EQ(server.Value("devhost_temperature_celsius" + device), 31.5);
  const auto age =
      server.WaitFor("devhost_values_age_seconds" + device, [](double s) { return s >= 1; });
  EXPECT_TRUE(age && *age >= 1) << "waited for the values' age to grow";
  EXPECT_EQ(host.Stop(10000ms), 0) << ReadFile(bench.dir.Path("host.out"));
}

}  // namespace

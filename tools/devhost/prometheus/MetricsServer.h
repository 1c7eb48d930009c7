// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <functional>
#include <string>

struct MHD_Daemon;

// Serves one document at GET /metrics over HTTP, through libmicrohttpd on a thread of its own:
// any other path is 404, any other method 405. Connections are few, short-lived and small
// (a limit on their number, their memory and their idle time), so a scraper that never reads
// its answer holds at most one answer per connection and only until its timeout.
class MetricsServer {
 public:
  // Called on the server's thread for each scrape.
  using Render = std::function<std::string()>;

  MetricsServer(std::string address, int port, Render render);
  ~MetricsServer();
  MetricsServer(const MetricsServer&) = delete;
  MetricsServer& operator=(const MetricsServer&) = delete;

  // Binds and starts serving; std::runtime_error saying why when it cannot.
  void Start();
  // Closes the socket and every connection, and ends the thread.
  void Stop();
  // The port it listens on (the one the system chose when 0 was asked for).
  int Port() const;

  // The document as it is now.
  std::string Document() const { return render_(); }

  static constexpr unsigned kConnectionLimit = 16;
  static constexpr unsigned kIdleSeconds = 10;

 private:
  const std::string address_;
  const int port_;
  Render render_;
  MHD_Daemon* daemon_ = nullptr;
};

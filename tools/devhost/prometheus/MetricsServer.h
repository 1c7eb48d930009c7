// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "prometheus/RequestDeadlines.h"

struct MHD_Daemon;

// Serves one document at GET (and HEAD) /metrics over HTTP, through libmicrohttpd on a thread of
// its own: any other path is 404, any other method 405. Connections are few, short-lived and
// small (a limit on their number, their memory and their idle time), so a scraper that never
// reads its answer holds at most one answer per connection and only until its timeout. A
// request and its answer have a deadline, and a newcomer at the limit takes the place of the
// connection that has waited longest for a whole request (RequestDeadlines).
class MetricsServer {
 public:
  // Called on the server's thread for each scrape.
  using Render = std::function<std::string()>;

  static constexpr unsigned kConnectionLimit = 16;
  // How long a connection may stay idle, and a request with its answer take in all.
  static constexpr unsigned kPatienceSeconds = 10;

  // `patience`: kPatienceSeconds but in tests.
  MetricsServer(std::string address, int port, Render render,
                std::chrono::seconds patience = std::chrono::seconds(kPatienceSeconds));
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

  // libmicrohttpd's notices, on its thread.
  void ConnectionStarted(const void* connection, int fd);
  void ConnectionClosed(const void* connection);
  void Answering(const void* connection);
  void Completed(const void* connection);

 private:
  // Shuts down the connections whose request is past its deadline, until Stop.
  void CutLateRequests();

  const std::string address_;
  const int port_;
  Render render_;
  MHD_Daemon* daemon_ = nullptr;

  std::mutex mutex_;  // requests_, stopping_
  std::condition_variable changed_;
  const std::chrono::seconds patience_;
  RequestDeadlines requests_;
  bool stopping_ = false;
  std::thread cutter_;
};

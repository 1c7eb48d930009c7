// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class Host;

// One thread per serial line of a host, each the only one to touch its line: polling `rounds`
// rounds (0: until a stop signal or Stop), or only running the jobs posted to it. A line that
// ends closes, so a job posted later is refused, not left waiting.
class LineThreads {
 public:
  enum class Work { kPoll, kJobsOnly };
  // `say` gets why a line stopped early; called from the line's thread.
  using Say = std::function<void(const std::string&)>;

  LineThreads(Host& host, Work work, long rounds, Say say);
  // Stops and joins whatever still runs.
  ~LineThreads();
  LineThreads(const LineThreads&) = delete;
  LineThreads& operator=(const LineThreads&) = delete;

  // Asks each line to end at its next wait.
  void Stop();
  void Join();
  // Until every line has ended; false when `limit` passed first.
  bool WaitEnded(std::chrono::milliseconds limit);

 private:
  Host& host_;
  std::mutex mutex_;
  std::condition_variable ended_;
  std::size_t running_ = 0;
  std::vector<std::thread> threads_;
};

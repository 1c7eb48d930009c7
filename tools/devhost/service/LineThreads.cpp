// SPDX-License-Identifier: Apache-2.0
#include "service/LineThreads.h"

#include <exception>

#include "service/Host.h"

LineThreads::LineThreads(Host& host, Work work, long rounds, Say say) : host_(host) {
  running_ = host.Lines().size();
  for (auto& controller : host.Lines()) {
    threads_.emplace_back([this, controller, work, rounds, say] {
      // Device and store failures are handled per exchange; anything else ends this line only.
      try {
        if (work == Work::kPoll) {
          controller->Run(rounds);
        } else {
          controller->ServeJobs();
        }
      } catch (const std::exception& error) {
        say("line " + controller->Config().device + " stopped: " + error.what());
      }
      controller->Close();
      std::lock_guard<std::mutex> lock(mutex_);
      --running_;
      ended_.notify_all();
    });
  }
}

LineThreads::~LineThreads() {
  Stop();
  Join();
}

void LineThreads::Stop() {
  for (auto& controller : host_.Lines()) controller->Stop();
}

bool LineThreads::WaitEnded(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(mutex_);
  return ended_.wait_for(lock, limit, [this] { return running_ == 0; });
}

void LineThreads::Join() {
  for (auto& thread : threads_) {
    if (thread.joinable()) thread.join();
  }
}

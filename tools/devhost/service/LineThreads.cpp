// SPDX-License-Identifier: Apache-2.0
#include "service/LineThreads.h"

#include <exception>

#include "service/Host.h"

LineThreads::LineThreads(Host& host, Work work, long rounds, Say say) : host_(host) {
  for (auto& controller : host.Lines()) {
    threads_.emplace_back([controller, work, rounds, say] {
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

void LineThreads::Join() {
  for (auto& thread : threads_) {
    if (thread.joinable()) thread.join();
  }
}

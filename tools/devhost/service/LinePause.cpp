// SPDX-License-Identifier: Apache-2.0
#include "service/LinePause.h"

#include "service/Host.h"

LinePause::LinePause(Host& host) : shared_(std::make_shared<Shared>()) {
  for (auto& line : host.Lines()) {
    // A line that takes no more jobs has stopped: it touches nothing any more.
    const bool posted = line->Post([shared = shared_] {
      std::unique_lock<std::mutex> lock(shared->mutex);
      ++shared->parked;
      shared->changed.notify_all();
      shared->changed.wait(lock, [&] { return shared->released; });
    });
    if (posted) ++expected_;
  }
}

LinePause::~LinePause() {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  shared_->released = true;
  shared_->changed.notify_all();
}

bool LinePause::Wait(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(shared_->mutex);
  return shared_->changed.wait_for(lock, limit, [this] { return shared_->parked == expected_; });
}

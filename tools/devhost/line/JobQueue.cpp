// SPDX-License-Identifier: Apache-2.0
#include "line/JobQueue.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <exception>

JobQueue::JobQueue() : wakeFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

JobQueue::~JobQueue() {
  if (wakeFd_ >= 0) close(wakeFd_);
}

bool JobQueue::Post(std::function<void()> job) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return false;
    jobs_.push_back(std::move(job));
  }
  const uint64_t one = 1;
  if (wakeFd_ >= 0) (void)!write(wakeFd_, &one, sizeof one);
  return true;
}

void JobQueue::Close() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
  }
  RunAll();
}

void JobQueue::RunAll() {
  uint64_t count = 0;
  if (wakeFd_ >= 0) (void)!read(wakeFd_, &count, sizeof count);
  std::deque<std::function<void()>> ready;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ready.swap(jobs_);
  }
  for (auto& job : ready) {
    try {
      job();
    } catch (const std::exception&) {
      // A job reports its own failures to whoever posted it; the line goes on.
    }
  }
}

// SPDX-License-Identifier: Apache-2.0
#include "sinks/QueuedSink.h"

#include <algorithm>

namespace {

bool IsState(const HostEvent& event) { return std::holds_alternative<CycleEvent>(event.body); }

// What a person must see even when the sink falls behind.
bool MustKeep(const HostEvent& event) {
  return std::holds_alternative<AlarmEvent>(event.body) ||
         std::holds_alternative<AlarmRuleEvent>(event.body) ||
         std::holds_alternative<LinkEvent>(event.body);
}

}  // namespace

QueuedSink::QueuedSink(EventSink& target, std::size_t limit)
    : target_(target), limit_(std::max<std::size_t>(limit, 1)) {}

QueuedSink::~QueuedSink() {
  if (worker_.joinable()) Stop(std::chrono::milliseconds(0));
}

void QueuedSink::Start() {
  worker_ = std::thread([this] { Run(); });
}

void QueuedSink::Take(const HostEvent& event) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return;
    if (events_.size() >= limit_ && !MakeRoom(event)) return;
    events_.push_back(event);
  }
  wake_.notify_one();
}

bool QueuedSink::MakeRoom(const HostEvent& event) {
  const uint32_t dataId = DataIdOf(event.body);
  if (IsState(event)) {
    for (HostEvent& queued : events_) {
      if (!IsState(queued) || DataIdOf(queued.body) != dataId) continue;
      queued = event;
      ++losses_[dataId].superseded;
      return false;
    }
  }
  const auto oldest = std::find_if(events_.begin(), events_.end(),
                                   [](const HostEvent& queued) { return !MustKeep(queued); });
  if (oldest != events_.end()) {
    ++losses_[DataIdOf(oldest->body)].dropped;
    events_.erase(oldest);
    return true;
  }
  if (MustKeep(event) && events_.size() < 2 * limit_) return true;
  ++losses_[dataId].dropped;
  return false;
}

void QueuedSink::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stopping_ || !events_.empty(); });
    if (events_.empty()) break;  // stopping, and everything was handed on
    HostEvent event = std::move(events_.front());
    events_.pop_front();
    busy_ = true;
    lock.unlock();
    target_.Take(event);
    lock.lock();
    busy_ = false;
    wake_.notify_all();
    if (stopping_) break;
  }
  finished_ = true;
  wake_.notify_all();
}

bool QueuedSink::Stop(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!worker_.joinable()) return true;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  wake_.wait_until(lock, deadline, [this] { return events_.empty() && !busy_; });
  stopping_ = true;
  for (const HostEvent& left : events_) ++losses_[DataIdOf(left.body)].dropped;
  events_.clear();
  wake_.notify_all();
  // The event being handed on gets a moment more: a sink that may block bounds its own wait.
  const auto end = deadline + std::chrono::milliseconds(200);
  if (!wake_.wait_until(lock, end, [this] { return finished_; })) {
    lock.unlock();
    worker_.detach();
    return false;
  }
  lock.unlock();
  worker_.join();
  return true;
}

QueueLosses QueuedSink::Losses() {
  std::lock_guard<std::mutex> lock(mutex_);
  return losses_;
}

std::size_t QueuedSink::Size() {
  std::lock_guard<std::mutex> lock(mutex_);
  return events_.size();
}

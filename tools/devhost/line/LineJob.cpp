// SPDX-License-Identifier: Apache-2.0
#include "line/LineJob.h"

#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>

#include "line/LineController.h"

enum class JobStage { kQueued, kCancelled, kRunning, kDone, kNotRun };

// Shared by the waiter and the job, which may outlive the waiter.
struct LineJob::State {
  std::mutex mutex;
  std::condition_variable changed;
  JobStage stage = JobStage::kQueued;
  std::string failure;
};

namespace {

using JobState = LineJob::State;

void Settle(JobState& state, JobStage stage, std::string failure = {}) {
  std::lock_guard<std::mutex> lock(state.mutex);
  state.stage = stage;
  state.failure = std::move(failure);
  state.changed.notify_all();
}

// Runs on the line's thread.
void Perform(LineController& line, JobState& state, const std::function<void()>& job,
             bool talksOnBus) {
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    if (state.stage == JobStage::kCancelled) return;
  }
  if (talksOnBus && line.Stopping()) return Settle(state, JobStage::kNotRun);
  Settle(state, JobStage::kRunning);
  try {
    job();
    Settle(state, JobStage::kDone);
  } catch (const std::exception& error) {
    Settle(state, JobStage::kDone, error.what());
  }
}

}  // namespace

LineJob::LineJob(LineController& line, std::function<void()> job, bool talksOnBus, std::string what)
    : state_(std::make_shared<State>()), what_(std::move(what)) {
  LineController* controller = &line;
  if (!line.Post([state = state_, controller, job = std::move(job), talksOnBus] {
        Perform(*controller, *state, job, talksOnBus);
      })) {
    throw NotSent("the host is stopping");
  }
}

void LineJob::Wait(std::chrono::milliseconds patience) {
  std::unique_lock<std::mutex> lock(state_->mutex);
  const auto started = [this] { return state_->stage != JobStage::kQueued; };
  if (!state_->changed.wait_for(lock, patience, started)) {
    state_->stage = JobStage::kCancelled;
    throw NotSent("the line of " + what_ + " did not take the command within " +
                  std::to_string(patience.count() / 1000) + " s; it was cancelled, nothing sent");
  }
  state_->changed.wait(lock, [this] { return state_->stage != JobStage::kRunning; });
  if (state_->stage == JobStage::kNotRun) throw NotSent("the host is stopping; nothing was sent");
  if (!state_->failure.empty()) throw JobFailed(state_->failure);
}

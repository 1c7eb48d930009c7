#include "control/LineJob.h"

#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>

#include "line/LineController.h"

namespace {

enum class JobStage { kQueued, kCancelled, kRunning, kDone, kNotRun };

// Shared by the waiter and the job, which may outlive the waiter.
struct JobState {
  std::mutex mutex;
  std::condition_variable changed;
  JobStage stage = JobStage::kQueued;
  std::string failure;
};

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

void RunLineJob(LineController& line, const std::function<void()>& job, bool talksOnBus,
                std::chrono::milliseconds patience, const std::string& what) {
  auto state = std::make_shared<JobState>();
  LineController* controller = &line;
  if (!line.Post([state, controller, job, talksOnBus] {
        Perform(*controller, *state, job, talksOnBus);
      })) {
    throw NotSent("the host is stopping");
  }
  std::unique_lock<std::mutex> lock(state->mutex);
  const auto started = [&] { return state->stage != JobStage::kQueued; };
  if (!state->changed.wait_for(lock, patience, started)) {
    state->stage = JobStage::kCancelled;
    throw NotSent("the line of " + what + " did not take the command within " +
                  std::to_string(patience.count() / 1000) + " s; it was cancelled, nothing sent");
  }
  state->changed.wait(lock, [&] { return state->stage != JobStage::kRunning; });
  if (state->stage == JobStage::kNotRun) throw NotSent("the host is stopping; nothing was sent");
  if (!state->failure.empty()) throw JobFailed(state->failure);
}

// SPDX-License-Identifier: Apache-2.0
#include "line/CycleProgress.h"

void CycleProgress::Note(uint32_t dataId, std::time_t when) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    lastCycle_[dataId] = when;
  }
  changed_.notify_all();
}

bool CycleProgress::WaitForCycleAfter(uint32_t dataId, std::time_t second,
                                      std::chrono::steady_clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_until(lock, deadline, [&] {
    const auto found = lastCycle_.find(dataId);
    return closed_ || (found != lastCycle_.end() && found->second > second);
  });
}

void CycleProgress::Close() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
  }
  changed_.notify_all();
}

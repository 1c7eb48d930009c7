// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <deque>
#include <functional>
#include <mutex>

// Work that other threads hand to a line: posted from anywhere, run on the line's thread. A
// descriptor becomes readable while jobs wait, so the line can sleep on it with its other waits.
class JobQueue {
 public:
  JobQueue();
  ~JobQueue();
  JobQueue(const JobQueue&) = delete;
  JobQueue& operator=(const JobQueue&) = delete;

  // False once the queue is closed: the job will never run.
  bool Post(std::function<void()> job);
  // Runs what is still queued and takes no more jobs: the line has stopped.
  void Close();
  // Runs every job posted so far, in order; a job that throws does not stop the others.
  void RunAll();
  int WakeDescriptor() const { return wakeFd_; }

 private:
  std::mutex mutex_;
  std::deque<std::function<void()>> jobs_;
  int wakeFd_ = -1;
  bool closed_ = false;
};

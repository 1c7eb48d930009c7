// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <vector>

// The metrics server's connections and when each one's request began. A client that sends its
// request a byte at a time resets an idle timer at every byte; here a request, with its answer,
// has a deadline of its own, and when every connection is taken the one that has waited longest
// without a whole request makes room for the newcomer, so a scraper gets through while others
// trickle. Descriptors to shut down are returned, never closed here: the server closes them.
// Not thread-safe: its owner locks.
class RequestDeadlines {
 public:
  using Clock = std::chrono::steady_clock;

  RequestDeadlines(std::chrono::seconds deadline, unsigned limit)
      : deadline_(deadline), limit_(limit) {}

  // A connection came; a descriptor to shut down to stay within the limit, if one must go (the
  // newcomer's own when every other is being answered).
  std::optional<int> Started(const void* connection, int fd, Clock::time_point now);
  // Its request is whole and being answered: it is no longer the one that makes room.
  void Answering(const void* connection);
  // Its answer went out; a next request on the same connection has a deadline of its own.
  void Completed(const void* connection, Clock::time_point now);
  void Closed(const void* connection);
  // The descriptors of the requests past their deadline (each returned once).
  std::vector<int> Expired(Clock::time_point now);
  // When the next deadline falls, if any connection is open.
  std::optional<Clock::time_point> Next() const;

 private:
  struct Request {
    int fd = -1;
    Clock::time_point since;
    bool whole = false;  // the request came in full: being answered
    bool cut = false;    // shut down already, waiting for the server to close it
  };
  const std::chrono::seconds deadline_;
  const unsigned limit_;
  std::map<const void*, Request> open_;
};

// SPDX-License-Identifier: Apache-2.0
#include "prometheus/RequestDeadlines.h"

std::optional<int> RequestDeadlines::Started(const void* connection, int fd,
                                             Clock::time_point now) {
  std::size_t live = 0;
  Request* oldest = nullptr;
  for (auto& [key, request] : open_) {
    if (request.cut) continue;
    ++live;
    if (!request.whole && (oldest == nullptr || request.since < oldest->since)) oldest = &request;
  }
  Request& newcomer = open_[connection] = Request{fd, now};
  if (live < limit_) return std::nullopt;
  // Every place is taken by a request being answered: the newcomer is the one that goes.
  Request& going = oldest != nullptr ? *oldest : newcomer;
  going.cut = true;
  return going.fd;
}

void RequestDeadlines::Answering(const void* connection) {
  const auto found = open_.find(connection);
  if (found != open_.end()) found->second.whole = true;
}

void RequestDeadlines::Completed(const void* connection, Clock::time_point now) {
  const auto found = open_.find(connection);
  if (found == open_.end()) return;
  found->second.whole = false;
  found->second.since = now;
}

void RequestDeadlines::Closed(const void* connection) { open_.erase(connection); }

std::vector<int> RequestDeadlines::Expired(Clock::time_point now) {
  std::vector<int> expired;
  for (auto& [key, request] : open_) {
    if (request.cut || now < request.since + deadline_) continue;
    request.cut = true;
    expired.push_back(request.fd);
  }
  return expired;
}

std::optional<RequestDeadlines::Clock::time_point> RequestDeadlines::Next() const {
  std::optional<Clock::time_point> next;
  for (const auto& [key, request] : open_) {
    if (request.cut) continue;
    const auto due = request.since + deadline_;
    if (!next || due < *next) next = due;
  }
  return next;
}

// SPDX-License-Identifier: Apache-2.0
#include "control/ServedClients.h"

#include <unistd.h>

#include <algorithm>

#include "control/ControlServer.h"

namespace {

Deadline After(int milliseconds) {
  return std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
}

}  // namespace

ServedClients::ServedClients(Handler handler, std::size_t requestLimit, int requestTimeoutMs,
                             int answerTimeoutMs)
    : handler_(std::move(handler)),
      requestLimit_(requestLimit),
      requestTimeoutMs_(requestTimeoutMs),
      answerTimeoutMs_(answerTimeoutMs) {}

ServedClients::~ServedClients() {
  for (const Waiting& client : waiting_) close(client.fd);
  Reap(true);
}

void ServedClients::Add(int client) {
  if (waiting_.size() >= kMaxWaiting) {
    Refuse(waiting_.front().fd, "too many clients: dropped after waiting longest");
    waiting_.erase(waiting_.begin());
  }
  waiting_.push_back(Waiting{client, {}, After(requestTimeoutMs_)});
}

std::vector<pollfd> ServedClients::Watched(std::vector<pollfd> first) const {
  for (const Waiting& client : waiting_) first.push_back({client.fd, POLLIN, 0});
  return first;
}

void ServedClients::Serve(const std::vector<pollfd>& watched, std::size_t skip) {
  Reap(false);
  std::vector<Waiting> still;
  for (std::size_t i = 0; i < waiting_.size(); ++i) {
    const std::size_t at = skip + i;
    const bool readable = at < watched.size() && watched[at].revents != 0;
    if (!Advance(waiting_[i], readable)) still.push_back(std::move(waiting_[i]));
  }
  waiting_.swap(still);
}

bool ServedClients::Advance(Waiting& client, bool readable) {
  const ReadEnd end =
      readable ? ReadAvailable(client.fd, client.request, requestLimit_) : ReadEnd::kMore;
  switch (end) {
    case ReadEnd::kComplete:
      Dispatch(client.fd, std::move(client.request));
      return true;
    case ReadEnd::kTooLarge:
      Refuse(client.fd, "request larger than " + std::to_string(requestLimit_) + " bytes");
      return true;
    case ReadEnd::kFailed:
    case ReadEnd::kTimedOut:
      close(client.fd);
      return true;
    case ReadEnd::kMore:
      break;
  }
  if (std::chrono::steady_clock::now() < client.deadline) return false;
  Refuse(client.fd, "no whole request within " + std::to_string(requestTimeoutMs_) + " ms");
  return true;
}

void ServedClients::Dispatch(int client, std::string request) {
  if (answering_.size() >= kMaxAnswering) {
    return Refuse(client, "the host is busy with " + std::to_string(kMaxAnswering) +
                              " requests; nothing done, try again");
  }
  auto done = std::make_shared<std::atomic<bool>>(false);
  std::thread thread([this, client, request = std::move(request), done] {
    WriteAll(client, handler_(request), After(answerTimeoutMs_));
    close(client);
    *done = true;
  });
  answering_.push_back(Answering{std::move(thread), done});
}

void ServedClients::Refuse(int client, const std::string& error) {
  // Small enough for the socket's buffer: a client that never reads holds nothing.
  WriteAll(client, ErrorAnswer(error), std::chrono::steady_clock::now());
  close(client);
}

void ServedClients::Reap(bool all) {
  for (auto it = answering_.begin(); it != answering_.end();) {
    if (!all && !*it->done) {
      ++it;
      continue;
    }
    it->thread.join();
    it = answering_.erase(it);
  }
}

int ServedClients::NextTimeoutMs() const {
  if (waiting_.empty() && answering_.empty()) return -1;
  // Finished answers are reaped at the next wake; a second is soon enough.
  auto next = After(answering_.empty() ? 86400000 : 1000);
  for (const Waiting& client : waiting_) next = std::min(next, client.deadline);
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      next - std::chrono::steady_clock::now());
  return static_cast<int>(std::max<long long>(left.count(), 0) + 1);
}

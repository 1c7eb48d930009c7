// SPDX-License-Identifier: Apache-2.0
#include "mqtt/MessageQueue.h"

#include <algorithm>
#include <set>
#include <string>

void MessageQueue::Push(MqttMessage message) {
  if (message.supersede) {
    // The newest of its topic: older ones queued before it keep their place and order.
    for (auto queued = messages_.rbegin(); queued != messages_.rend(); ++queued) {
      if (queued->topic != message.topic) continue;
      *queued = std::move(message);
      ++superseded_;
      return;
    }
  }
  messages_.push_back(std::move(message));
  DropOverflow(0);
}

void MessageQueue::PutFirst(const std::vector<MqttMessage>& first) {
  std::set<std::string> topics;
  for (const MqttMessage& message : first) topics.insert(message.topic);
  messages_.erase(std::remove_if(messages_.begin(), messages_.end(),
                                 [&topics](const MqttMessage& queued) {
                                   return topics.count(queued.topic) != 0;
                                 }),
                  messages_.end());
  messages_.insert(messages_.begin(), first.begin(), first.end());
  DropOverflow(first.size());
}

std::optional<MqttMessage> MessageQueue::Pop() {
  if (messages_.empty()) return std::nullopt;
  MqttMessage message = std::move(messages_.front());
  messages_.pop_front();
  return message;
}

void MessageQueue::DropOverflow(std::size_t keepFirst) {
  const std::size_t from = std::min(keepFirst, limit_);
  while (messages_.size() > limit_) {
    messages_.erase(messages_.begin() + static_cast<std::ptrdiff_t>(from));
    ++dropped_;
  }
}

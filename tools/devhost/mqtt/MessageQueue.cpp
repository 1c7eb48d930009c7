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
  // A topic with queued events (an alarm raised, then cleared) keeps them in place and in order:
  // the last of them is its current value. Only a replaceable state moves to the head.
  std::set<std::string> events;
  for (const MqttMessage& queued : messages_) {
    if (!queued.supersede) events.insert(queued.topic);
  }
  std::vector<MqttMessage> head;
  std::set<std::string> moved;
  for (const MqttMessage& message : first) {
    if (events.count(message.topic) != 0) continue;
    head.push_back(message);
    moved.insert(message.topic);
  }
  messages_.erase(std::remove_if(messages_.begin(), messages_.end(),
                                 [&moved](const MqttMessage& queued) {
                                   return moved.count(queued.topic) != 0;
                                 }),
                  messages_.end());
  messages_.insert(messages_.begin(), head.begin(), head.end());
  DropOverflow(head.size());
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

// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstddef>
#include <deque>
#include <optional>
#include <vector>

#include "mqtt/MqttMessage.h"

// The messages not yet handed to the broker connection, bounded: when full the oldest goes
// (counted as dropped); an unsent message that a newer one supersedes is replaced in place
// (counted as superseded). Not thread-safe: its owner locks.
class MessageQueue {
 public:
  explicit MessageQueue(std::size_t limit) : limit_(limit) {}

  void Push(MqttMessage message);
  // Puts these first, in this order, and removes the queued states on their topics: what is
  // published again at connect goes before what was waiting and replaces older values. A topic
  // with a queued event (not superseding) keeps its queue instead, whose last is its value.
  void PutFirst(const std::vector<MqttMessage>& first);
  std::optional<MqttMessage> Pop();
  // Back at the head: it could not be handed over after all.
  void Unpop(MqttMessage message) { messages_.push_front(std::move(message)); }

  bool Empty() const { return messages_.empty(); }
  std::size_t Size() const { return messages_.size(); }
  unsigned long Dropped() const { return dropped_; }
  unsigned long Superseded() const { return superseded_; }

 private:
  // Drops the oldest beyond the first `keepFirst`, which were just put there on purpose.
  void DropOverflow(std::size_t keepFirst);

  std::size_t limit_;
  std::deque<MqttMessage> messages_;
  unsigned long dropped_ = 0;
  unsigned long superseded_ = 0;
};

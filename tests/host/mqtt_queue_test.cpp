// SPDX-License-Identifier: Apache-2.0
// What waits for the broker during an outage: a device's newer state replaces its unsent older
// one, so the queue stays short and what happens once (alarm changes, reports) is never lost.
#include <gtest/gtest.h>

#include "mqtt/MessageQueue.h"

namespace {

MqttMessage State(const std::string& device, int cycle) {
  return {"do3008ra/" + device + "/state", std::to_string(cycle), true, true};
}
MqttMessage Alarm(int cycle) { return {"do3008ra/12/alarm", std::to_string(cycle), false, false}; }

TEST(MessageQueue, AnOutageLongerThanTheLimitSupersedesStatesAndDropsNoAlarmOrReport) {
  MessageQueue queue(10);
  for (int cycle = 1; cycle <= 30; ++cycle) {
    queue.Push(State("12", cycle));
    queue.Push(State("13", cycle));
    if (cycle % 10 == 0) queue.Push(Alarm(cycle));
  }
  EXPECT_EQ(queue.Dropped(), 0u);
  EXPECT_EQ(queue.Superseded(), 58u);
  ASSERT_EQ(queue.Size(), 5u);

  // Each state where the device's first one waited, with the newest value.
  std::vector<std::pair<std::string, std::string>> sent;
  while (auto message = queue.Pop()) sent.emplace_back(message->topic, message->payload);
  const std::vector<std::pair<std::string, std::string>> expected{{"do3008ra/12/state", "30"},
                                                                  {"do3008ra/13/state", "30"},
                                                                  {"do3008ra/12/alarm", "10"},
                                                                  {"do3008ra/12/alarm", "20"},
                                                                  {"do3008ra/12/alarm", "30"}};
  EXPECT_EQ(sent, expected);
}

TEST(MessageQueue, WhenFullOfWhatCannotBeSupersededTheOldestGoesAndIsCounted) {
  MessageQueue queue(3);
  for (int cycle = 1; cycle <= 5; ++cycle) queue.Push(Alarm(cycle));
  EXPECT_EQ(queue.Dropped(), 2u);
  EXPECT_EQ(queue.Superseded(), 0u);
  ASSERT_EQ(queue.Size(), 3u);
  EXPECT_EQ(queue.Pop()->payload, "3");
}

// States a connected link queued for its next turn are all sent; an outage that begins then has
// newer states replace the newest of them, never an older one (which would go out after it).
TEST(MessageQueue, AStateSupersedesOnlyTheNewestQueuedOfItsTopic) {
  MessageQueue queue(10);
  MqttMessage first = State("12", 1);
  MqttMessage second = State("12", 2);
  first.supersede = second.supersede = false;
  queue.Push(first);
  queue.Push(second);
  queue.Push(State("12", 3));
  EXPECT_EQ(queue.Superseded(), 1u);
  ASSERT_EQ(queue.Size(), 2u);
  EXPECT_EQ(queue.Pop()->payload, "1");
  EXPECT_EQ(queue.Pop()->payload, "3");
}

// A reconnect publishes the retained topics again first; an alarm's raise and clear share one
// retained topic, and every change queued during the outage still goes out, in order, once.
TEST(MessageQueue, AReconnectKeepsEveryQueuedAlarmChangeOfARetainedTopicInOrder) {
  MessageQueue queue(10);
  const MqttMessage raised{"do3008ra/12/alarm/T01001", "raised", true, false};
  const MqttMessage cleared{raised.topic, "cleared", true, false};
  for (const MqttMessage& m : {State("12", 1), raised, State("12", 2), cleared, raised})
    queue.Push(m);
  queue.PutFirst({{"do3008ra/12/availability", "online", true, true}, State("12", 2), raised});
  std::vector<std::string> sent;
  while (auto message = queue.Pop()) sent.push_back(message->payload);
  EXPECT_EQ(sent, (std::vector<std::string>{"online", "2", "raised", "cleared", "raised"}));
}

}  // namespace

#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "config/HostConfig.h"
#include "events/Event.h"
#include "mqtt/MessageQueue.h"

struct mosquitto;
struct mosquitto_message;

// One device's connection to the broker (client id "<clientId>-<dataId>"), so that the broker's
// last will can say `offline` on this device's own availability topic when the host dies.
// libmosquitto's network thread does all network work: Publish only queues and wakes it, so a
// poll cycle never waits for the broker. Connection changes go to `notices` from that thread.
class DeviceLink {
 public:
  // `type`: the device's type, whose measured fields Home Assistant discovery announces; none
  // for a type the host does not know.
  DeviceLink(const MqttConfig& config, uint32_t dataId, const DeviceType* type, EventSink& notices);
  ~DeviceLink();
  DeviceLink(const DeviceLink&) = delete;
  DeviceLink& operator=(const DeviceLink&) = delete;

  // Sets credentials, TLS and the will, and starts connecting in the background.
  // Throws std::runtime_error when the client cannot be set up (a TLS file libmosquitto refuses).
  void Start();
  // Says `offline`, hands over what is queued (waiting at most `limit`) and disconnects.
  void Stop(std::chrono::milliseconds limit);

  // Queues the message; retained ones are also kept to be published again at every connect.
  void Publish(MqttMessage message);
  // The retained message is kept for the next connect and published only if it is new.
  void PublishOnce(const MqttMessage& message);
  MqttSummaryEvent Summary();

 private:
  static void OnConnect(mosquitto*, void* self, int rc);
  static void OnDisconnect(mosquitto*, void* self, int rc);
  static void OnPublish(mosquitto*, void* self, int mid);
  static void OnMessage(mosquitto*, void* self, const mosquitto_message* message);

  void Connected();
  // True once per connect that ended before the broker answered it (refused, unreachable).
  bool FailedBeforeAnswer();
  void Lost(const std::string& reason, bool onlyIfConnected);
  void Remember(const MqttMessage& message);
  void RepublishRetained();
  // Hands queued messages to libmosquitto while connected and its window has room.
  void Drain();
  void Notify(bool connected, const std::string& reason, bool unreachable = false);

  const MqttConfig& config_;
  const uint32_t dataId_;
  EventSink& notices_;
  const std::string broker_;
  mosquitto* client_ = nullptr;
  std::thread starter_;  // the first connect, which resolves and connects synchronously

  std::mutex mutex_;
  MessageQueue queue_;
  std::vector<MqttMessage> retained_;  // the current value of every retained topic, in order
  bool connected_ = false;
  bool draining_ = false;
  bool stopping_ = false;
  bool answered_ = false;  // the broker answered the current connect (accepted or refused)
  unsigned inFlight_ = 0;  // handed over, not yet confirmed written (QoS 0) or acknowledged
  unsigned long published_ = 0;
  std::string lastNotice_;  // the same failure again (each retry) is said once
};

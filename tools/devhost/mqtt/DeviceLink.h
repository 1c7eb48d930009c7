// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
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
// A network thread of the link's own does all network work with libmosquitto: Publish only
// queues, so a poll cycle never waits for the broker. The first message after a quiet turn wakes
// the thread; while messages keep coming it hands them over once a turn (250 ms) unwoken, so a
// busy line's cycles cost no thread wake-up each.
// Connection changes go to `notices` from that thread. The thread connects, serves the connection
// in short waits and, whatever ended it (refused, unreachable, TLS, lost), tries again after 1, 2,
// 4, 8, 8... s: libmosquitto's own loop gives up for good after a TLS failure, and its connect and
// stop could keep a stopping host waiting for a broker that drops packets.
class DeviceLink {
 public:
  // `type`: the device's type, whose measured fields Home Assistant discovery announces; none
  // for a type the host does not know.
  DeviceLink(const MqttConfig& config, uint32_t dataId, const DeviceType* type, EventSink& notices);
  ~DeviceLink();
  DeviceLink(const DeviceLink&) = delete;
  DeviceLink& operator=(const DeviceLink&) = delete;

  // Sets credentials, TLS and the will, and starts the network thread, which connects.
  // Throws std::runtime_error when the client cannot be set up (a TLS file libmosquitto refuses).
  void Start();
  // Stopping, in steps, so that the links of a host stop side by side within one bound:
  // queue `offline`; then wait while !Settled() (at most until a deadline); RequestStop; Finish.
  void SayOffline();
  // Nothing left to hand over, or nothing to hand it to (a first connect still under way counts
  // as something to hand it to).
  bool Settled();
  // Disconnects (a DISCONNECT the broker gets, when connected) and ends the network thread.
  void RequestStop();
  // Waits until `deadline` for the network thread to end. False when it did not (it can only be
  // inside a name look-up): it is left to end by itself and this link must then be kept alive.
  bool Finish(std::chrono::steady_clock::time_point deadline);

  // Queues the message (sent within 250 ms); retained ones are also kept to be published again
  // at every connect.
  void Publish(MqttMessage message);
  // The retained message is kept for the next connect and published only if it is new.
  void PublishOnce(const MqttMessage& message);
  MqttSummaryEvent Summary();

 private:
  static void OnConnect(mosquitto*, void* self, int rc);
  static void OnDisconnect(mosquitto*, void* self, int rc);
  static void OnPublish(mosquitto*, void* self, int mid);
  static void OnMessage(mosquitto*, void* self, const mosquitto_message* message);
  static void OnLog(mosquitto*, void* self, int level, const char* text);

  void SetUpTls();
  // The network thread: connects, serves, waits, connects again, until RequestStop.
  void Run();
  // Says why an attempt got no connection, unless the disconnect callback did (libmosquitto
  // calls it for some failures, not for a TLS handshake refused within its loop).
  void ConnectFailed(const std::string& why, bool first);
  // Serves one connection (or connect under way) until it ends (why) or the stop lets it go
  // (nothing).
  std::optional<std::string> Serve();
  // One turn of a connection the broker accepted: waits on the socket alone, not on the pipe
  // libmosquitto wakes its loop through at every queued message, and hands the lines' messages
  // over itself. libmosquitto's status.
  int ConnectedTurn();
  bool Busy();
  // Wakes the network thread from a connected turn's wait.
  void Wake();
  // Why the connect under way has failed, when its socket says so. Called with mutex_ held.
  std::optional<std::string> ConnectRefused();
  // False when a stop was requested meanwhile.
  bool WaitBeforeRetry(std::chrono::seconds delay);
  void NoteTlsError(const std::string& text);

  void Connected();
  // What the full queue dropped since the last connect, said once the broker is back.
  void SayDropped();
  bool IsConnected();
  // True once per connect that ended before the broker answered it (refused, unreachable).
  bool FailedBeforeAnswer();
  void Lost(const std::string& reason, bool onlyIfConnected);
  void Remember(const MqttMessage& message);
  void RepublishRetained();
  // Hands queued messages to libmosquitto while connected and its window has room; how many.
  std::size_t Drain();
  void Notify(bool connected, const std::string& reason, bool unreachable = false);

  const MqttConfig& config_;
  const uint32_t dataId_;
  EventSink& notices_;
  const std::string broker_;
  mosquitto* client_ = nullptr;
  int wakeFd_ = -1;  // an eventfd: a message for an idle connected turn, a stop
  std::thread network_;

  std::mutex mutex_;
  std::condition_variable wake_;  // the network thread, between attempts; Finish
  bool finished_ = false;         // the network thread has ended
  bool accepted_ = false;         // the broker accepted the current attempt's connect
  bool disconnected_ = false;     // the disconnect callback ran for the current attempt
  std::string tlsProblem_;        // what TLS refused in the current attempt
  MessageQueue queue_;
  std::vector<MqttMessage> retained_;  // the current value of every retained topic, in order
  bool connected_ = false;
  bool draining_ = false;
  bool busy_ = false;  // messages came lately: the thread turns often and is not woken for them
  bool stopping_ = false;
  bool answered_ = false;  // the broker answered the current connect (accepted or refused)
  unsigned inFlight_ = 0;  // handed over, not yet confirmed written (QoS 0) or acknowledged
  unsigned long published_ = 0;
  unsigned long droppedSaid_ = 0;  // dropped messages already said
  std::string lastNotice_;         // the same failure again (each retry) is said once
};

// SPDX-License-Identifier: Apache-2.0
#include "mqtt/DeviceLink.h"

#include <mosquitto.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

#include "config/MqttConfig.h"
#include "events/Clock.h"
#include "events/EventFormat.h"
#include "mqtt/MosquittoText.h"
#include "mqtt/Payloads.h"

namespace {

// Messages handed to libmosquitto and not yet confirmed; beyond this they wait in our own bounded
// queue, where a newer state still replaces an older one.
constexpr unsigned kWindow = 64;

// A network thread left inside a name look-up at the end still uses the library.
std::atomic<bool> g_threadLeft{false};

struct LibraryInit {
  LibraryInit() { mosquitto_lib_init(); }
  ~LibraryInit() {
    if (!g_threadLeft) mosquitto_lib_cleanup();
  }
};

void EnsureLibrary() { static LibraryInit init; }

}  // namespace

DeviceLink::DeviceLink(const MqttConfig& config, uint32_t dataId, const DeviceType* type,
                       EventSink& notices)
    : config_(config),
      dataId_(dataId),
      notices_(notices),
      broker_(config.host + ":" + std::to_string(config.port)),
      queue_(static_cast<std::size_t>(config.queueLimit)) {
  EnsureLibrary();
  const std::string id = config.clientId + "-" + std::to_string(dataId);
  wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wakeFd_ < 0) throw std::runtime_error("mqtt: cannot make a wake-up counter");
  client_ = mosquitto_new(id.c_str(), true, this);
  if (client_ == nullptr) {
    close(wakeFd_);
    throw std::runtime_error("mqtt: cannot make a client");
  }
  Remember(AvailabilityMessage(config_, dataId_, true));
  if (config_.homeAssistant && type != nullptr) {
    for (const MqttMessage& message : SensorDiscovery(config_, dataId_, *type)) {
      Remember(message);
    }
  }
}

DeviceLink::~DeviceLink() {
  // Only when the bridge never stopped it (a start that failed half-way).
  if (network_.joinable()) {
    RequestStop();
    network_.join();
  }
  mosquitto_destroy(client_);
  close(wakeFd_);
}

void DeviceLink::Start() {
  mosquitto_connect_callback_set(client_, &DeviceLink::OnConnect);
  mosquitto_disconnect_callback_set(client_, &DeviceLink::OnDisconnect);
  mosquitto_publish_callback_set(client_, &DeviceLink::OnPublish);
  mosquitto_message_callback_set(client_, &DeviceLink::OnMessage);
  mosquitto_log_callback_set(client_, &DeviceLink::OnLog);
  const MqttMessage will = AvailabilityMessage(config_, dataId_, false);
  CheckMosquitto(
      mosquitto_will_set(client_, will.topic.c_str(), static_cast<int>(will.payload.size()),
                         will.payload.data(), config_.qos, true),
      "mqtt will");
  if (!config_.username.empty()) {
    CheckMosquitto(
        mosquitto_username_pw_set(client_, config_.username.c_str(),
                                  config_.password.empty() ? nullptr : config_.password.c_str()),
        "mqtt credentials");
  }
  if (!config_.caFile.empty()) SetUpTls();
  // The network thread alone hands messages to libmosquitto and writes.
  CheckMosquitto(mosquitto_threaded_set(client_, true), "mqtt network thread");
  network_ = std::thread([this] { Run(); });
}

void DeviceLink::SayOffline() { Publish(AvailabilityMessage(config_, dataId_, false)); }

bool DeviceLink::Settled() {
  std::lock_guard<std::mutex> lock(mutex_);
  // A first connect still under way gets the time too: a short run publishes as well.
  const bool connecting = !connected_ && lastNotice_.empty();
  return (!connected_ && !connecting) || (connected_ && queue_.Empty() && inFlight_ == 0);
}

void DeviceLink::RequestStop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  mosquitto_disconnect(client_);
  Wake();
}

bool DeviceLink::Finish(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!wake_.wait_until(lock, deadline, [this] { return finished_; })) {
    lock.unlock();
    network_.detach();
    g_threadLeft = true;
    return false;
  }
  lock.unlock();
  network_.join();
  return true;
}

void DeviceLink::Publish(MqttMessage message) {
  bool wake = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (message.retain) Remember(message);
    // A link with room for it sends every state; only a backlog (no broker, a full window) has
    // a newer state replace the unsent one.
    if (connected_ && inFlight_ + queue_.Size() < kWindow) message.supersede = false;
    queue_.Push(std::move(message));
    wake = !busy_;
    busy_ = true;
  }
  if (wake) Wake();
}

void DeviceLink::PublishOnce(const MqttMessage& message) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const MqttMessage& kept : retained_) {
      if (kept.topic == message.topic) return;
    }
  }
  Publish(message);
}

MqttSummaryEvent DeviceLink::Summary() {
  std::lock_guard<std::mutex> lock(mutex_);
  return {dataId_, published_, queue_.Dropped(), queue_.Superseded()};
}

void DeviceLink::Remember(const MqttMessage& message) {
  for (MqttMessage& kept : retained_) {
    if (kept.topic != message.topic) continue;
    kept = message;
    return;
  }
  retained_.push_back(message);
}

void DeviceLink::OnConnect(mosquitto*, void* self, int rc) {
  auto* link = static_cast<DeviceLink*>(self);
  {
    std::lock_guard<std::mutex> lock(link->mutex_);
    link->answered_ = true;
  }
  if (rc == 0) {
    link->Connected();
  } else {
    link->Lost("refused by the broker: " + MosquittoRefusalText(rc), false);
  }
}

void DeviceLink::OnDisconnect(mosquitto*, void* self, int rc) {
  // errno still says why the socket ended (connection refused) before anything else runs.
  const int error = errno;
  auto* link = static_cast<DeviceLink*>(self);
  if (link->FailedBeforeAnswer()) {
    std::string why =
        rc == MOSQ_ERR_ERRNO && error != 0 ? std::strerror(error) : MosquittoDisconnectReason(rc);
    {
      std::lock_guard<std::mutex> lock(link->mutex_);
      if (!link->tlsProblem_.empty()) why = link->tlsProblem_;
    }
    link->Notify(false, "cannot connect: " + why);
    return;
  }
  link->Lost(MosquittoDisconnectReason(rc), true);
}

bool DeviceLink::IsConnected() {
  std::lock_guard<std::mutex> lock(mutex_);
  return connected_;
}

bool DeviceLink::FailedBeforeAnswer() {
  std::lock_guard<std::mutex> lock(mutex_);
  disconnected_ = true;
  // A connect the broker refused was said by OnConnect; the socket's end adds nothing.
  const bool unanswered = !connected_ && !answered_ && !stopping_;
  answered_ = false;
  return unanswered;
}

void DeviceLink::OnPublish(mosquitto*, void* self, int) {
  auto* link = static_cast<DeviceLink*>(self);
  {
    std::lock_guard<std::mutex> lock(link->mutex_);
    if (link->inFlight_ > 0) --link->inFlight_;
    ++link->published_;
  }
  link->Drain();
}

// Home Assistant says `online` when it starts: it wants the discovery and the states again.
void DeviceLink::OnMessage(mosquitto*, void* self, const mosquitto_message* message) {
  // Anything else on the topic, empty or not text, is ignored.
  if (message == nullptr || message->payload == nullptr || message->payloadlen != 6) return;
  const std::string payload(static_cast<const char*>(message->payload), 6);
  if (payload != "online") return;
  static_cast<DeviceLink*>(self)->RepublishRetained();
}

void DeviceLink::Connected() {
  if (config_.homeAssistant) {
    const std::string status = config_.discoveryPrefix + "/status";
    mosquitto_subscribe(client_, nullptr, status.c_str(), 0);
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    connected_ = true;
    accepted_ = true;
    inFlight_ = 0;
  }
  Notify(true, "");
  SayDropped();
  // Handed over at the next turn, not in this callback: libmosquitto sends what was in flight
  // when the connection ended again only after it, and an alarm change handed over then must
  // not reach the broker after the newer ones that waited here.
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.PutFirst(retained_);
    busy_ = true;
  }
  Wake();
}

void DeviceLink::SayDropped() {
  unsigned long dropped = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    dropped = queue_.Dropped() - droppedSaid_;
    droppedSaid_ = queue_.Dropped();
  }
  if (dropped == 0) return;
  notices_.Take(HostEvent{
      WallNow(),
      NoticeEvent{MqttDroppedText(dataId_, dropped, config_.queueLimit), LogLevel::kWarning}});
}

void DeviceLink::Lost(const std::string& reason, bool onlyIfConnected) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // A refused connect is followed by the end of its socket: the refusal is what matters.
    if (onlyIfConnected && !connected_) return;
    connected_ = false;
    inFlight_ = 0;
    if (stopping_) return;
  }
  Notify(false, reason);
}

void DeviceLink::RepublishRetained() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.PutFirst(retained_);
  }
  Drain();
}

std::size_t DeviceLink::Drain() {
  std::unique_lock<std::mutex> lock(mutex_);
  // One thread hands over at a time, so messages keep their order.
  if (draining_) return 0;
  draining_ = true;
  std::size_t handedOver = 0;
  while (connected_ && inFlight_ < kWindow && !queue_.Empty()) {
    MqttMessage message = *queue_.Pop();
    ++inFlight_;
    // libmosquitto takes its own locks in publish and in the callbacks; ours is not held there.
    lock.unlock();
    const int rc = mosquitto_publish(client_, nullptr, message.topic.c_str(),
                                     static_cast<int>(message.payload.size()),
                                     message.payload.data(), config_.qos, message.retain);
    lock.lock();
    if (rc != MOSQ_ERR_SUCCESS) {
      if (inFlight_ > 0) --inFlight_;
      queue_.Unpop(std::move(message));
      break;
    }
    ++handedOver;
  }
  draining_ = false;
  return handedOver;
}

void DeviceLink::Notify(bool connected, const std::string& reason, bool unreachable) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string notice = connected ? "connected" : reason;
    // A stopped link says nothing more: its console may be gone.
    if (notice == lastNotice_ || stopping_) return;
    lastNotice_ = notice;
  }
  notices_.Take(HostEvent{WallNow(), MqttEvent{dataId_, connected, broker_, reason, unreachable}});
}

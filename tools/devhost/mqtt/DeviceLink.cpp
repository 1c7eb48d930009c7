#include "mqtt/DeviceLink.h"

#include <mosquitto.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

#include "mqtt/Payloads.h"

namespace {

// Messages handed to libmosquitto and not yet confirmed; beyond this they wait in our own bounded
// queue, where a newer state still replaces an older one.
constexpr unsigned kWindow = 64;

struct LibraryInit {
  LibraryInit() { mosquitto_lib_init(); }
  ~LibraryInit() { mosquitto_lib_cleanup(); }
};

void EnsureLibrary() { static LibraryInit init; }

std::string DisconnectReason(int rc) {
  if (rc == MOSQ_ERR_CONN_LOST || rc == MOSQ_ERR_ERRNO) return "connection lost";
  if (rc == MOSQ_ERR_SUCCESS) return "disconnected";
  if (rc == MOSQ_ERR_KEEPALIVE) return "no answer within the keep-alive";
  return mosquitto_strerror(rc);
}

// MOSQ_ERR_ERRNO means "see errno", which says more (connection refused, no route to host).
std::string ErrorText(int rc) {
  return rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc);
}

// "Connection Refused: not authorised." -> "not authorised".
std::string RefusalText(int rc) {
  std::string text = mosquitto_connack_string(rc);
  const std::string head = "Connection Refused: ";
  if (text.rfind(head, 0) == 0) text.erase(0, head.size());
  if (!text.empty() && text.back() == '.') text.pop_back();
  return text;
}

void Check(int rc, const std::string& what) {
  if (rc != MOSQ_ERR_SUCCESS) throw std::runtime_error(what + ": " + mosquitto_strerror(rc));
}

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
  client_ = mosquitto_new(id.c_str(), true, this);
  if (client_ == nullptr) throw std::runtime_error("mqtt: cannot make a client");
  Remember(AvailabilityMessage(config_, dataId_, true));
  if (config_.homeAssistant && type != nullptr) {
    for (const MqttMessage& message : SensorDiscovery(config_, dataId_, *type)) {
      Remember(message);
    }
  }
}

DeviceLink::~DeviceLink() {
  if (starter_.joinable()) starter_.join();
  mosquitto_loop_stop(client_, true);
  mosquitto_destroy(client_);
}

void DeviceLink::Start() {
  mosquitto_connect_callback_set(client_, &DeviceLink::OnConnect);
  mosquitto_disconnect_callback_set(client_, &DeviceLink::OnDisconnect);
  mosquitto_publish_callback_set(client_, &DeviceLink::OnPublish);
  mosquitto_message_callback_set(client_, &DeviceLink::OnMessage);
  mosquitto_reconnect_delay_set(client_, 1, 8, true);
  const MqttMessage will = AvailabilityMessage(config_, dataId_, false);
  Check(mosquitto_will_set(client_, will.topic.c_str(), static_cast<int>(will.payload.size()),
                           will.payload.data(), config_.qos, true),
        "mqtt will");
  if (!config_.username.empty()) {
    Check(mosquitto_username_pw_set(client_, config_.username.c_str(),
                                    config_.password.empty() ? nullptr : config_.password.c_str()),
          "mqtt credentials");
  }
  if (!config_.caFile.empty()) {
    Check(mosquitto_tls_set(client_, config_.caFile.c_str(), nullptr,
                            config_.certFile.empty() ? nullptr : config_.certFile.c_str(),
                            config_.keyFile.empty() ? nullptr : config_.keyFile.c_str(), nullptr),
          "mqtt TLS files");
  }
  // The network thread waits until the first connect has begun, then keeps reconnecting.
  Check(mosquitto_loop_start(client_), "mqtt network thread");
  starter_ = std::thread([this] {
    const int rc =
        mosquitto_connect_async(client_, config_.host.c_str(), config_.port, config_.keepAliveS);
    // The network thread keeps trying; the first failure is said once, as what it is: no
    // socket at all (an address family the service may not use, a name that does not resolve).
    if (rc != MOSQ_ERR_SUCCESS) Notify(false, ErrorText(rc), true);
  });
}

void DeviceLink::Stop(std::chrono::milliseconds limit) {
  if (starter_.joinable()) starter_.join();
  Publish(AvailabilityMessage(config_, dataId_, false));
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      // A first connect still under way gets the limit too: a short run publishes as well.
      const bool connecting = !connected_ && lastNotice_.empty();
      if ((!connected_ && !connecting) || (connected_ && queue_.Empty() && inFlight_ == 0)) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  mosquitto_disconnect(client_);
  mosquitto_loop_stop(client_, false);
}

void DeviceLink::Publish(MqttMessage message) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (message.retain) Remember(message);
    queue_.Push(std::move(message));
  }
  Drain();
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
    link->Lost("refused by the broker: " + RefusalText(rc), false);
  }
}

void DeviceLink::OnDisconnect(mosquitto*, void* self, int rc) {
  // errno still says why the socket ended (connection refused) before anything else runs.
  const int error = errno;
  auto* link = static_cast<DeviceLink*>(self);
  if (link->FailedBeforeAnswer()) {
    const std::string why =
        rc == MOSQ_ERR_ERRNO && error != 0 ? std::strerror(error) : DisconnectReason(rc);
    link->Notify(false, "cannot connect: " + why);
    return;
  }
  link->Lost(DisconnectReason(rc), true);
}

bool DeviceLink::FailedBeforeAnswer() {
  std::lock_guard<std::mutex> lock(mutex_);
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
    inFlight_ = 0;
  }
  Notify(true, "");
  RepublishRetained();
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

void DeviceLink::Drain() {
  std::unique_lock<std::mutex> lock(mutex_);
  // One thread hands over at a time, so messages keep their order.
  if (draining_) return;
  draining_ = true;
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
  }
  draining_ = false;
}

void DeviceLink::Notify(bool connected, const std::string& reason, bool unreachable) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string notice = connected ? "connected" : reason;
    if (notice == lastNotice_) return;
    lastNotice_ = notice;
  }
  notices_.Take(
      HostEvent{std::time(nullptr), MqttEvent{dataId_, connected, broker_, reason, unreachable}});
}

// SPDX-License-Identifier: Apache-2.0
#include "mqtt/DeviceLink.h"

#include <mosquitto.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

#include "config/MqttConfig.h"
#include "events/Clock.h"
#include "mqtt/MosquittoText.h"
#include "mqtt/Payloads.h"

namespace {

// Messages handed to libmosquitto and not yet confirmed; beyond this they wait in our own bounded
// queue, where a newer state still replaces an older one.
constexpr unsigned kWindow = 64;
// How long one wait of the network thread lasts at most: how soon it sees a stop.
constexpr int kLoopWaitMs = 100;
// A stopping link that is connected has this long to send its DISCONNECT.
constexpr std::chrono::milliseconds kDisconnectWait{300};
constexpr std::chrono::seconds kFirstRetry{1};
constexpr std::chrono::seconds kLongestRetry{8};

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
  // Only when the bridge never stopped it (a start that failed half-way).
  if (network_.joinable()) {
    RequestStop();
    network_.join();
  }
  mosquitto_destroy(client_);
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
  // Publishing threads only queue and wake the network thread; it alone writes.
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

void DeviceLink::Run() {
  std::chrono::seconds delay = kFirstRetry;
  for (bool first = true;; first = false) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) break;
      answered_ = false;
      accepted_ = false;
      disconnected_ = false;
      tlsProblem_.clear();
    }
    // libmosquitto reads the TLS files again at a reconnect: a key replaced by one others may
    // read, or by a FIFO that would block this thread, is not handed to it.
    const auto tlsFiles = first || config_.caFile.empty() ? std::nullopt : TlsFilesProblem(config_);
    // Resolves the name (which may block), then begins a connect that does not wait.
    const int rc = tlsFiles ? MOSQ_ERR_TLS
                   : first  ? mosquitto_connect_async(client_, config_.host.c_str(), config_.port,
                                                      config_.keepAliveS)
                            : mosquitto_reconnect_async(client_);
    if (tlsFiles) {
      ConnectFailed(*tlsFiles, false);
    } else if (rc != MOSQ_ERR_SUCCESS) {
      ConnectFailed(MosquittoErrorText(rc), first);
    } else if (const auto ended = Serve()) {
      ConnectFailed(*ended, false);
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (accepted_) delay = kFirstRetry;
    }
    if (!WaitBeforeRetry(delay)) break;
    delay = std::min(delay * 2, kLongestRetry);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  finished_ = true;
  wake_.notify_all();
}

void DeviceLink::ConnectFailed(const std::string& why, bool first) {
  std::string tls;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // The disconnect callback said it already, or there is nothing to say: the broker answered.
    if (disconnected_ || answered_ || stopping_) return;
    tls = tlsProblem_;
  }
  // On a near broker the TLS handshake fails within the connect: said as when it fails later.
  if (!tls.empty()) return Notify(false, "cannot connect: " + tls);
  // No socket at all: an address family the service may not use, a name that does not resolve.
  // Said once, as what it is.
  Notify(false, first ? why : "cannot connect: " + why, first);
}

std::optional<std::string> DeviceLink::Serve() {
  std::chrono::steady_clock::time_point stopBy{};
  for (;;) {
    const int rc = mosquitto_loop(client_, kLoopWaitMs, 1);
    if (rc != MOSQ_ERR_SUCCESS) return MosquittoErrorText(rc);
    std::lock_guard<std::mutex> lock(mutex_);
    if (!answered_) {
      if (const auto refused = ConnectRefused()) return refused;
    }
    if (!stopping_) continue;
    // A connect under way is simply dropped; a connection gets a moment for its DISCONNECT.
    const auto now = std::chrono::steady_clock::now();
    if (!connected_) return std::nullopt;
    if (stopBy == std::chrono::steady_clock::time_point{}) stopBy = now + kDisconnectWait;
    if (now > stopBy) return std::nullopt;
  }
}

// libmosquitto 2.0 takes a TLS connect whose socket was refused for one still under way, and
// loops on it without waiting until the keep-alive ends it: the socket says it hung up.
std::optional<std::string> DeviceLink::ConnectRefused() {
  const int fd = mosquitto_socket(client_);
  pollfd socket{fd, POLLOUT, 0};
  if (fd < 0 || poll(&socket, 1, 0) != 1 || (socket.revents & (POLLERR | POLLHUP)) == 0) {
    return std::nullopt;
  }
  int error = 0;
  socklen_t size = sizeof error;
  getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size);
  return std::string(std::strerror(error != 0 ? error : ECONNREFUSED));
}

bool DeviceLink::WaitBeforeRetry(std::chrono::seconds delay) {
  std::unique_lock<std::mutex> lock(mutex_);
  return !wake_.wait_for(lock, delay, [this] { return stopping_; });
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
    // A stopped link says nothing more: its console may be gone.
    if (notice == lastNotice_ || stopping_) return;
    lastNotice_ = notice;
  }
  notices_.Take(HostEvent{WallNow(), MqttEvent{dataId_, connected, broker_, reason, unreachable}});
}

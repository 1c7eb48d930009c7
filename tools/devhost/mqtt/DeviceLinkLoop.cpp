// SPDX-License-Identifier: Apache-2.0
// The link's network thread: connecting, serving the connection in turns, retrying.
#include <mosquitto.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "config/MqttConfig.h"
#include "mqtt/DeviceLink.h"
#include "mqtt/MosquittoText.h"

namespace {

// How long one wait of the network thread lasts at most while it connects: how soon it sees a
// stop then.
constexpr int kLoopWaitMs = 100;
// While messages come, a connected link hands them over once a turn of this length, however many
// came meanwhile (a message waits at most this long); a cycle then wakes no thread.
constexpr int kBusyTurnMs = 250;
// A connected link with nothing to send waits this long at most (its keep-alive is checked once a
// turn); the next message wakes it.
constexpr int kIdleTurnMs = 1000;
// A stopping link that is connected has this long to send its DISCONNECT.
constexpr std::chrono::milliseconds kDisconnectWait{300};
constexpr std::chrono::seconds kFirstRetry{1};
constexpr std::chrono::seconds kLongestRetry{8};

}  // namespace

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
    const int rc = IsConnected() ? ConnectedTurn() : mosquitto_loop(client_, kLoopWaitMs, 1);
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

int DeviceLink::ConnectedTurn() {
  const int fd = mosquitto_socket(client_);
  if (fd < 0) return MOSQ_ERR_NO_CONN;
  const short write = mosquitto_want_write(client_) ? POLLOUT : 0;
  pollfd waits[2] = {{fd, static_cast<short>(POLLIN | write), 0}, {wakeFd_, POLLIN, 0}};
  if (poll(waits, 2, Busy() ? kBusyTurnMs : kIdleTurnMs) < 0 && errno != EINTR) {
    return MOSQ_ERR_ERRNO;
  }
  if ((waits[1].revents & POLLIN) != 0) {
    uint64_t wakes = 0;  // emptied; how many does not matter
    const ssize_t ignored = read(wakeFd_, &wakes, sizeof wakes);
    (void)ignored;
  }
  int rc = MOSQ_ERR_SUCCESS;
  if ((waits[0].revents & (POLLIN | POLLERR | POLLHUP)) != 0) rc = mosquitto_loop_read(client_, 1);
  // As libmosquitto's own loop: a connection that ended here has nothing more to do.
  if (rc != MOSQ_ERR_SUCCESS || mosquitto_socket(client_) < 0) return rc;
  // What the lines queued since the last turn, with whatever the socket had no room for before.
  const bool handedOver = Drain() > 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // Nothing came this turn: the next message wakes the thread.
    busy_ = handedOver || !queue_.Empty();
  }
  if (mosquitto_want_write(client_)) rc = mosquitto_loop_write(client_, 1);
  if (rc != MOSQ_ERR_SUCCESS || mosquitto_socket(client_) < 0) return rc;
  return mosquitto_loop_misc(client_);
}

bool DeviceLink::Busy() {
  std::lock_guard<std::mutex> lock(mutex_);
  return busy_;
}

void DeviceLink::Wake() {
  const uint64_t one = 1;
  // Fails only with the counter full: the thread has wakes enough to come.
  const ssize_t ignored = write(wakeFd_, &one, sizeof one);
  (void)ignored;
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

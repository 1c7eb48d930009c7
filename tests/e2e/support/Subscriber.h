// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct mosquitto;

struct Received {
  std::string topic;
  std::string payload;
  bool retained = false;
};

// A client certificate and the CA that checks the broker, for a TLS listener.
struct ClientTls {
  std::string ca;
  std::string cert;
  std::string key;
};

// A libmosquitto client of the test's own that subscribes to everything and keeps what it
// receives; it reconnects (and subscribes again) by itself when the broker comes back.
class Subscriber {
 public:
  Subscriber(int port, const std::string& user = "", const std::string& password = "");
  // A session the broker keeps for it while it is away, across a restart with persistence.
  static std::unique_ptr<Subscriber> Durable(int port, const std::string& clientId);
  Subscriber(int port, const ClientTls& tls);
  ~Subscriber();
  Subscriber(const Subscriber&) = delete;
  Subscriber& operator=(const Subscriber&) = delete;

  std::vector<Received> Messages();
  // The first message from index `from` on that satisfies `match`, waiting at most `limit`
  // (stretched for the tree); a wait in vain is told on standard error.
  std::optional<Received> WaitFor(const std::function<bool(const Received&)>& match,
                                  std::chrono::milliseconds limit, std::size_t from = 0);
  std::optional<Received> WaitFor(const std::string& topic, std::chrono::milliseconds limit,
                                  std::size_t from = 0);

 private:
  std::optional<Received> WaitForMatch(const std::function<bool(const Received&)>& match,
                                       std::chrono::milliseconds limit, std::size_t from,
                                       const std::string& what);
  Subscriber() = default;
  void Connect(int port, const std::string& user, const std::string& password, const ClientTls* tls,
               const char* durableId = nullptr);
  static void OnConnect(mosquitto* client, void* self, int rc);
  static void OnMessage(mosquitto*, void* self, const struct mosquitto_message* message);

  mosquitto* client_ = nullptr;
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<Received> messages_;
};

// SPDX-License-Identifier: Apache-2.0
#include "Subscriber.h"

#include <iostream>

#include <mosquitto.h>

#include <stdexcept>

#include "Wait.h"

Subscriber::Subscriber(int port, const std::string& user, const std::string& password) {
  Connect(port, user, password, nullptr);
}

Subscriber::Subscriber(int port, const ClientTls& tls) { Connect(port, "", "", &tls); }

std::unique_ptr<Subscriber> Subscriber::Durable(int port, const std::string& clientId) {
  std::unique_ptr<Subscriber> subscriber(new Subscriber());
  subscriber->Connect(port, "", "", nullptr, clientId.c_str());
  return subscriber;
}

void Subscriber::Connect(int port, const std::string& user, const std::string& password,
                         const ClientTls* tls, const char* durableId) {
  mosquitto_lib_init();
  client_ = mosquitto_new(durableId, durableId == nullptr, this);
  if (client_ == nullptr) throw std::runtime_error("mosquitto_new failed");
  if (!user.empty()) mosquitto_username_pw_set(client_, user.c_str(), password.c_str());
  if (tls != nullptr) {
    mosquitto_tls_set(client_, tls->ca.c_str(), nullptr, tls->cert.c_str(), tls->key.c_str(),
                      nullptr);
  }
  mosquitto_connect_callback_set(client_, &Subscriber::OnConnect);
  mosquitto_message_callback_set(client_, &Subscriber::OnMessage);
  mosquitto_reconnect_delay_set(client_, 1, 1, false);
  if (mosquitto_connect(client_, "127.0.0.1", port, 10) != MOSQ_ERR_SUCCESS ||
      mosquitto_loop_start(client_) != MOSQ_ERR_SUCCESS) {
    mosquitto_destroy(client_);
    throw std::runtime_error("the subscriber cannot connect to port " + std::to_string(port));
  }
}

Subscriber::~Subscriber() {
  mosquitto_disconnect(client_);
  mosquitto_loop_stop(client_, true);
  mosquitto_destroy(client_);
}

void Subscriber::OnConnect(mosquitto* client, void*, int rc) {
  if (rc == 0) mosquitto_subscribe(client, nullptr, "#", 1);
}

void Subscriber::OnMessage(mosquitto*, void* self, const mosquitto_message* message) {
  auto* subscriber = static_cast<Subscriber*>(self);
  Received received{message->topic,
                    std::string(static_cast<const char*>(message->payload),
                                static_cast<std::size_t>(message->payloadlen)),
                    message->retain};
  std::lock_guard<std::mutex> lock(subscriber->mutex_);
  subscriber->messages_.push_back(std::move(received));
  subscriber->arrived_.notify_all();
}

std::vector<Received> Subscriber::Messages() {
  std::lock_guard<std::mutex> lock(mutex_);
  return messages_;
}

std::optional<Received> Subscriber::WaitFor(const std::function<bool(const Received&)>& match,
                                            std::chrono::milliseconds limit, std::size_t from) {
  return WaitForMatch(match, limit, from, "a message the test looks for");
}

std::optional<Received> Subscriber::WaitFor(const std::string& topic,
                                            std::chrono::milliseconds limit, std::size_t from) {
  return WaitForMatch([&topic](const Received& message) { return message.topic == topic; }, limit,
                      from, "a message on " + topic);
}

std::optional<Received> Subscriber::WaitForMatch(const std::function<bool(const Received&)>& match,
                                                 std::chrono::milliseconds limit, std::size_t from,
                                                 const std::string& what) {
  std::unique_lock<std::mutex> lock(mutex_);
  const auto scaled = Scaled(limit);
  const auto until = std::chrono::steady_clock::now() + scaled;
  std::size_t next = from;
  for (;;) {
    for (; next < messages_.size(); ++next) {
      if (match(messages_[next])) return messages_[next];
    }
    if (arrived_.wait_until(lock, until) == std::cv_status::timeout && next == messages_.size()) {
      std::cerr << "waited " << scaled.count() / 1000.0 << " s for " << what << " (from message "
                << from << " of " << messages_.size() << " received); it did not come.\n"
                << ProgramsState() << std::endl;
      return std::nullopt;
    }
  }
}

// SPDX-License-Identifier: Apache-2.0
#include "prometheus/MetricsServer.h"

#include <microhttpd.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cstring>
#include <memory>
#include <stdexcept>

namespace {

constexpr const char* kContentType = "text/plain; version=0.0.4; charset=utf-8";
// Per connection, for the request's headers: a scrape's request is small.
constexpr std::size_t kConnectionMemory = 32 * 1024;

MHD_Result Reply(MHD_Connection* connection, unsigned status, const std::string& body,
                 const char* type) {
  MHD_Response* response = MHD_create_response_from_buffer(
      body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) return MHD_NO;
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type);
  if (status == MHD_HTTP_METHOD_NOT_ALLOWED) {
    MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
  }
  const MHD_Result result = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  return result;
}

using AddressList = std::unique_ptr<addrinfo, decltype(&freeaddrinfo)>;

AddressList ListenAddress(const std::string& address, int port) {
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int rc = getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (rc != 0) {
    throw std::runtime_error("prometheus: cannot listen on " + address + ": " + gai_strerror(rc));
  }
  return AddressList(found, &freeaddrinfo);
}

MHD_Result AnswerScrape(void* server, MHD_Connection* connection, const char* url,
                        const char* method, const char*, const char*, size_t* uploadSize,
                        void** request) {
  static_cast<MetricsServer*>(server)->Answering(connection);
  // The first call has the headers only: answered then, the request's end is never read and the
  // connection is closed after the answer, dropping the requests pipelined behind it.
  if (*request == nullptr) {
    *request = connection;
    return MHD_YES;
  }
  // A body nobody asked for is read and ignored.
  if (*uploadSize != 0) {
    *uploadSize = 0;
    return MHD_YES;
  }
  if (std::strcmp(url, "/metrics") != 0) {
    return Reply(connection, MHD_HTTP_NOT_FOUND, "not found: only /metrics is served\n",
                 "text/plain; charset=utf-8");
  }
  // HEAD is answered as GET, without the body (libmicrohttpd leaves it out).
  if (std::strcmp(method, MHD_HTTP_METHOD_GET) != 0 &&
      std::strcmp(method, MHD_HTTP_METHOD_HEAD) != 0) {
    return Reply(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "only GET and HEAD\n",
                 "text/plain; charset=utf-8");
  }
  return Reply(connection, MHD_HTTP_OK, static_cast<MetricsServer*>(server)->Document(),
               kContentType);
}

void NoteConnection(void* server, MHD_Connection* connection, void**,
                    MHD_ConnectionNotificationCode code) {
  auto* self = static_cast<MetricsServer*>(server);
  if (code == MHD_CONNECTION_NOTIFY_CLOSED) return self->ConnectionClosed(connection);
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
  self->ConnectionStarted(connection, info != nullptr ? info->connect_fd : -1);
}

void NoteCompleted(void* server, MHD_Connection* connection, void**, MHD_RequestTerminationCode) {
  static_cast<MetricsServer*>(server)->Completed(connection);
}

// The server's thread sees the end of the connection and closes it; its descriptor stays valid
// until then, as the connection's end is noted (under the same lock) before the close.
void Cut(int fd) {
  if (fd >= 0) shutdown(fd, SHUT_RDWR);
}

}  // namespace

MetricsServer::MetricsServer(std::string address, int port, Render render,
                             std::chrono::seconds patience)
    : address_(std::move(address)),
      port_(port),
      render_(std::move(render)),
      patience_(patience),
      requests_(patience, kConnectionLimit) {}

MetricsServer::~MetricsServer() { Stop(); }

void MetricsServer::Start() {
  const AddressList bind = ListenAddress(address_, port_);
  unsigned flags = MHD_USE_AUTO_INTERNAL_THREAD;
  if (bind->ai_family == AF_INET6) flags |= MHD_USE_IPv6;
  // One more than the limit: the newcomer that takes a trickling client's place is let in.
  daemon_ = MHD_start_daemon(
      flags, static_cast<uint16_t>(port_), nullptr, nullptr, &AnswerScrape, this,
      MHD_OPTION_SOCK_ADDR, bind->ai_addr, MHD_OPTION_CONNECTION_LIMIT, kConnectionLimit + 1,
      MHD_OPTION_CONNECTION_TIMEOUT, static_cast<unsigned>(patience_.count()),
      MHD_OPTION_CONNECTION_MEMORY_LIMIT, kConnectionMemory, MHD_OPTION_NOTIFY_CONNECTION,
      &NoteConnection, this, MHD_OPTION_NOTIFY_COMPLETED, &NoteCompleted, this, MHD_OPTION_END);
  if (daemon_ == nullptr) {
    throw std::runtime_error("prometheus: cannot listen on " + address_ + ":" +
                             std::to_string(port_) + " (in use, or not an address of this host)");
  }
  stopping_ = false;
  cutter_ = std::thread([this] { CutLateRequests(); });
}

void MetricsServer::Stop() {
  if (daemon_ == nullptr) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  cutter_.join();
  MHD_stop_daemon(daemon_);
  daemon_ = nullptr;
}

void MetricsServer::ConnectionStarted(const void* connection, int fd) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (const auto room = requests_.Started(connection, fd, RequestDeadlines::Clock::now())) {
    Cut(*room);
  }
  changed_.notify_all();
}

void MetricsServer::ConnectionClosed(const void* connection) {
  std::lock_guard<std::mutex> lock(mutex_);
  requests_.Closed(connection);
}

void MetricsServer::Answering(const void* connection) {
  std::lock_guard<std::mutex> lock(mutex_);
  requests_.Answering(connection);
}

void MetricsServer::Completed(const void* connection) {
  std::lock_guard<std::mutex> lock(mutex_);
  requests_.Completed(connection, RequestDeadlines::Clock::now());
}

void MetricsServer::CutLateRequests() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    for (int fd : requests_.Expired(RequestDeadlines::Clock::now())) Cut(fd);
    const auto next = requests_.Next();
    if (next) {
      changed_.wait_until(lock, *next);
    } else {
      changed_.wait(lock);
    }
  }
}

int MetricsServer::Port() const {
  if (daemon_ == nullptr) return port_;
  const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT);
  return info != nullptr ? info->port : port_;
}

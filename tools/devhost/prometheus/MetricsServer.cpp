// SPDX-License-Identifier: Apache-2.0
#include "prometheus/MetricsServer.h"

#include <microhttpd.h>
#include <netdb.h>

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
    MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET");
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
                        const char* method, const char*, const char*, size_t*, void**) {
  if (std::strcmp(url, "/metrics") != 0) {
    return Reply(connection, MHD_HTTP_NOT_FOUND, "not found: only /metrics is served\n",
                 "text/plain; charset=utf-8");
  }
  if (std::strcmp(method, MHD_HTTP_METHOD_GET) != 0) {
    return Reply(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "only GET\n",
                 "text/plain; charset=utf-8");
  }
  return Reply(connection, MHD_HTTP_OK, static_cast<MetricsServer*>(server)->Document(),
               kContentType);
}

}  // namespace

MetricsServer::MetricsServer(std::string address, int port, Render render)
    : address_(std::move(address)), port_(port), render_(std::move(render)) {}

MetricsServer::~MetricsServer() { Stop(); }

void MetricsServer::Start() {
  const AddressList bind = ListenAddress(address_, port_);
  unsigned flags = MHD_USE_AUTO_INTERNAL_THREAD;
  if (bind->ai_family == AF_INET6) flags |= MHD_USE_IPv6;
  daemon_ = MHD_start_daemon(flags, static_cast<uint16_t>(port_), nullptr, nullptr, &AnswerScrape,
                             this, MHD_OPTION_SOCK_ADDR, bind->ai_addr, MHD_OPTION_CONNECTION_LIMIT,
                             kConnectionLimit, MHD_OPTION_CONNECTION_TIMEOUT, kIdleSeconds,
                             MHD_OPTION_CONNECTION_MEMORY_LIMIT, kConnectionMemory, MHD_OPTION_END);
  if (daemon_ == nullptr) {
    throw std::runtime_error("prometheus: cannot listen on " + address_ + ":" +
                             std::to_string(port_) + " (in use, or not an address of this host)");
  }
}

void MetricsServer::Stop() {
  if (daemon_ == nullptr) return;
  MHD_stop_daemon(daemon_);
  daemon_ = nullptr;
}

int MetricsServer::Port() const {
  if (daemon_ == nullptr) return port_;
  const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT);
  return info != nullptr ? info->port : port_;
}

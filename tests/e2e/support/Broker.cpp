// SPDX-License-Identifier: Apache-2.0
#include "Broker.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

#include "Wait.h"

int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    if (fd >= 0) close(fd);
    throw std::runtime_error("no free port");
  }
  close(fd);
  return ntohs(address.sin_port);
}

namespace {

bool Accepts(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  const bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return connected;
}

// Run as root, mosquitto would become the user "mosquitto", who cannot read the test's folder.
std::string CurrentUser() {
  const passwd* entry = getpwuid(getuid());
  return entry != nullptr ? entry->pw_name : "root";
}

}  // namespace

Broker::Broker(const TempDir& dir, const std::string& extra) : dir_(dir), port_(FreePort()) {
  dir_.Write("broker.conf", "user " + CurrentUser() + "\nlistener " + std::to_string(port_) +
                                " 127.0.0.1\npersistence false\nlog_dest stderr\n"
                                "log_type error\nlog_type warning\nlog_type notice\n" +
                                extra);
  Start();
}

Broker::~Broker() { Stop(); }

void Broker::Start() {
  process_ = std::make_unique<BackgroundProcess>(
      std::vector<std::string>{"/usr/sbin/mosquitto", "-c", dir_.Path("broker.conf")},
      dir_.Path("broker.log"));
  const auto listening = WaitUntil("the broker to accept on 127.0.0.1:" + std::to_string(port_),
                                   std::chrono::seconds(10), [this] { return Accepts(port_); });
  if (!listening)
    throw std::runtime_error(std::string("the broker did not start: ") + listening.message());
}

void Broker::Stop() {
  if (process_) process_->Stop();
  process_.reset();
}

std::string Broker::Log() const { return ReadFile(dir_.Path("broker.log")); }

void AddBrokerUser(const std::string& passwordFile, const std::string& user,
                   const std::string& password) {
  std::vector<std::string> argv{"/usr/bin/mosquitto_passwd", "-b", passwordFile, user, password};
  if (access(passwordFile.c_str(), F_OK) != 0) argv.insert(argv.begin() + 1, "-c");
  const ProcessResult result = RunProgram(argv, std::chrono::seconds(10));
  if (result.exitCode != 0) throw std::runtime_error("mosquitto_passwd: " + result.err);
}

// SPDX-License-Identifier: Apache-2.0
#include "control/ControlServer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <json/value.h>

#include <cerrno>
#include <cstring>

#include "control/Identity.h"
#include "control/ServedClients.h"
#include "control/SocketAccess.h"
#include "events/EventFormat.h"

namespace {

// True when a host listens at `path`.
bool Answers(const std::string& path) {
  const int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (probe < 0) return false;
  const sockaddr_un address = UnixAddress(path);
  const bool answered =
      connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  close(probe);
  return answered;
}

std::string Reason() { return std::strerror(errno); }

}  // namespace

Json::Value ErrorDocument(const std::string& error, int exitStatus) {
  Json::Value answer(Json::objectValue);
  answer["exit_code"] = exitStatus;
  answer["error"] = QuotedText(error);
  return answer;
}

std::string ErrorAnswer(const std::string& error, int exitStatus) {
  return CompactJson(ErrorDocument(error, exitStatus)) + "\n";
}

ControlServer::ControlServer(std::string path, Handler handler, std::optional<unsigned> group)
    : path_(std::move(path)), handler_(std::move(handler)), group_(group) {}

ControlServer::~ControlServer() { Stop(); }

void ControlServer::RemoveStaleSocket() {
  struct stat info {};
  if (lstat(path_.c_str(), &info) != 0) return;
  if (!S_ISSOCK(info.st_mode)) {
    throw ControlError("control socket " + path_ + " exists and is not a socket");
  }
  if (Answers(path_)) {
    throw ControlError("control socket " + path_ + " is in use: another host is running");
  }
  // Left behind by a host that was killed: nobody listens any more.
  if (unlink(path_.c_str()) != 0 && errno != ENOENT) {
    throw ControlError("cannot remove the stale control socket " + path_ + ": " + Reason());
  }
}

void ControlServer::Start() {
  RemoveStaleSocket();
  listenFd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (listenFd_ < 0) throw ControlError("cannot make the control socket: " + Reason());
  try {
    BindControlSocket(listenFd_, path_, group_);
  } catch (const ControlError&) {
    Stop();
    throw;
  }
  struct stat info {};
  if (listen(listenFd_, 64) != 0 || lstat(path_.c_str(), &info) != 0 ||
      pipe2(stopPipe_, O_CLOEXEC) != 0) {
    const std::string reason = Reason();
    Stop();
    throw ControlError("cannot listen on control socket " + path_ + ": " + reason);
  }
  device_ = info.st_dev;
  inode_ = info.st_ino;
  thread_ = std::thread([this] { Serve(); });
}

void ControlServer::Stop() {
  if (thread_.joinable()) {
    const char byte = 1;
    (void)!write(stopPipe_[1], &byte, 1);
    thread_.join();
  }
  if (listenFd_ >= 0) {
    close(listenFd_);
    listenFd_ = -1;
    // Only our own socket: another host may have replaced it meanwhile.
    struct stat info {};
    if (lstat(path_.c_str(), &info) == 0 && info.st_dev == device_ && info.st_ino == inode_) {
      unlink(path_.c_str());
    }
  }
  for (int& fd : stopPipe_) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
}

void ControlServer::Serve() {
  ServedClients clients(handler_, kMaxRequestBytes, kRequestTimeoutMs, kAnswerTimeoutMs);
  for (;;) {
    std::vector<pollfd> watched =
        clients.Watched({{listenFd_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}});
    if (poll(watched.data(), watched.size(), clients.NextTimeoutMs()) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (watched[1].revents != 0) return;
    clients.Serve(watched, 2);
    if ((watched[0].revents & POLLIN) == 0) continue;
    // Every connection that came: a slow one waits in the list, not in the backlog.
    for (int client; (client = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
      clients.Add(client);
    }
  }
}

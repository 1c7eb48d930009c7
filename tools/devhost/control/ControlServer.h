// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <thread>

#include <json/value.h>

#include "control/SocketIo.h"

// The running host's command channel: a Unix-domain stream socket, mode 0600 so that only its
// owner may write registers (0660 with a group: its members too). One JSON request and one JSON
// answer per connection, its clients served side by side (control/ServedClients.h); a client that
// sends nothing or too much is answered with an error and dropped, and never reaches a line.
class ControlServer {
 public:
  static constexpr std::size_t kMaxRequestBytes = 64 * 1024;
  static constexpr int kRequestTimeoutMs = 2000;
  static constexpr int kAnswerTimeoutMs = 5000;

  // Takes a request's text, returns the answer's text (one JSON document).
  using Handler = std::function<std::string(const std::string& request)>;

  ControlServer(std::string path, Handler handler, std::optional<unsigned> group = {});
  ~ControlServer();
  ControlServer(const ControlServer&) = delete;
  ControlServer& operator=(const ControlServer&) = delete;

  // Binds the socket, replacing one left behind by a host that was killed; ControlError when
  // another host listens there or the path is taken by something else.
  void Start();
  // Stops serving and removes the socket.
  void Stop();
  const std::string& Path() const { return path_; }
  // What Start does first: ControlError when another host listens there. Called before the
  // host creates its database, so that a refused host leaves none behind.
  void RemoveStaleSocket();

 private:
  void Serve();

  std::string path_;
  Handler handler_;
  std::optional<unsigned> group_;
  int listenFd_ = -1;
  int stopPipe_[2] = {-1, -1};
  dev_t device_ = 0;
  ino_t inode_ = 0;
  std::thread thread_;
};

// An answer that says what was wrong with a request: {"exit_code": 2, "error": "..."}.
std::string ErrorAnswer(const std::string& error, int exitStatus = 2);
Json::Value ErrorDocument(const std::string& error, int exitStatus);

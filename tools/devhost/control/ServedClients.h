// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <poll.h>

#include <atomic>
#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "control/SocketIo.h"

// The clients of a control socket, served side by side: each connection is read as its bytes
// come, against a deadline of its own, so a silent client delays no other; a whole request is
// carried out on a thread of its own. Both are bounded: past kMaxWaiting the client waiting
// longest is dropped, past kMaxAnswering a request is refused as busy.
class ServedClients {
 public:
  static constexpr std::size_t kMaxWaiting = 64;
  static constexpr std::size_t kMaxAnswering = 8;

  // Takes a request's text, returns the answer's text.
  using Handler = std::function<std::string(const std::string& request)>;

  ServedClients(Handler handler, std::size_t requestLimit, int requestTimeoutMs,
                int answerTimeoutMs);
  // Drops every waiting client and waits for the requests being carried out.
  ~ServedClients();
  ServedClients(const ServedClients&) = delete;
  ServedClients& operator=(const ServedClients&) = delete;

  void Add(int client);
  // The descriptors to watch, after `first`.
  std::vector<pollfd> Watched(std::vector<pollfd> first) const;
  // Reads what the watched clients sent (`watched` as Watched gave it, past `skip`) and ends
  // those out of time.
  void Serve(const std::vector<pollfd>& watched, std::size_t skip);
  // Milliseconds until the next deadline; -1 without waiting clients.
  int NextTimeoutMs() const;

 private:
  struct Waiting {
    int fd;
    std::string request;
    Deadline deadline;
  };
  struct Answering {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };

  // Handles the state of one client; true when it is off the waiting list.
  bool Advance(Waiting& client, bool readable);
  void Dispatch(int client, std::string request);
  void Refuse(int client, const std::string& error);
  void Reap(bool all);

  Handler handler_;
  std::size_t requestLimit_;
  int requestTimeoutMs_;
  int answerTimeoutMs_;
  std::vector<Waiting> waiting_;  // oldest first
  std::list<Answering> answering_;
};

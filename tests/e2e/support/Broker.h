// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "Process.h"
#include "TempDir.h"

// A mosquitto broker of the test's own, on 127.0.0.1 and a port that was free, with its own
// configuration and no persistence: it never touches a system broker on 1883. Stopped when the
// object goes.
class Broker {
 public:
  // `extra` is added to the configuration (password_file, acl_file, ...).
  explicit Broker(const TempDir& dir, const std::string& extra = "allow_anonymous true\n");
  ~Broker();

  // Starts it (again, on the same port) and waits, bounded, until it takes connections.
  void Start();
  void Stop();
  int Port() const { return port_; }
  pid_t Pid() const { return process_ ? process_->Pid() : -1; }
  std::string Log() const;

 private:
  const TempDir& dir_;
  int port_;
  std::unique_ptr<BackgroundProcess> process_;
};

// A port on 127.0.0.1 that was free a moment ago (for a second listener).
int FreePort();

// Makes a mosquitto password file with these users (user:password pairs, one per call).
void AddBrokerUser(const std::string& passwordFile, const std::string& user,
                   const std::string& password);

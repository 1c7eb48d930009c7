// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdio>
#include <string>

#include <json/value.h>

#include "commission/Scanner.h"

// Shows a scan's progress on standard error: on a terminal one line rewritten in place (address,
// speed, found so far, time left); elsewhere a plain line per speed and per sensor found, so a
// log stays readable.
class ScanProgressPrinter {
 public:
  explicit ScanProgressPrinter(std::FILE* out);
  ~ScanProgressPrinter();
  ScanProgressPrinter(const ScanProgressPrinter&) = delete;
  ScanProgressPrinter& operator=(const ScanProgressPrinter&) = delete;

  void Show(const ScanProgress& progress, const ScanHit* hit);
  // Ends the line being rewritten, before other output follows.
  void Finish();

 private:
  void Line(const std::string& text);

  std::FILE* out_;
  bool terminal_;
  bool lineOpen_ = false;
  int baud_ = 0;
  char parity_ = 0;
};

// The summary table a person reads at the end.
std::string ScanTable(const ScanResult& result);
// {"command": "scan", "exit_code": N, "port": ..., "complete": ..., "found": [...], ...}
Json::Value ScanDocument(const ScanResult& result, int exitCode);
// "found at address 37, 19200 baud: registers say address 37, 19200 baud"
std::string HitText(const ScanHit& hit);
// The host configuration's members that reach the sensor where it answered:
// "device": "/dev/ttyUSB0", "baudRate": 19200, "slaveAddress": 37 (and "parity" unless none).
std::string HostMembersText(const std::string& port, const ScanHit& hit);
Json::Value HostMembers(const std::string& port, const ScanHit& hit);

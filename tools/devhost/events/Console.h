// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdio>
#include <mutex>
#include <string>

#include "events/Event.h"

// What a person (or, with --json, a program) sees of a running host: one line per event on
// standard output, starting with the time of day; with --json one JSON object a line (JSON
// Lines) with an ISO 8601 "time". Lines from several serial lines never interleave. Once a
// write fails (a full disk, a reader gone) it says so on standard error and writes no more.
class Console : public EventSink {
 public:
  Console(std::FILE* out, bool json, LogLevel level = LogLevel::kDetail)
      : out_(out), json_(json), level_(level) {}

  void Take(const HostEvent& event) override;
  void Notice(const std::string& text, LogLevel level = LogLevel::kNotice);
  bool Json() const { return json_; }
  LogLevel Level() const { return level_; }

 private:
  void Write(const std::string& lines);

  std::FILE* out_;
  bool json_;
  LogLevel level_;
  bool broken_ = false;  // a write failed: nothing more is written
  std::mutex mutex_;
};

// The lines of an event for people: each line of its text after the time of day.
std::string TimedLines(const HostEvent& event);
// The event as one JSON line with its time; empty for events only a store keeps.
std::string JsonLine(const HostEvent& event);

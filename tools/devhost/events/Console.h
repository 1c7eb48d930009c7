#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include <json/value.h>

#include "events/RecordView.h"
#include "store/Store.h"

// What a person (or, with --json, a program) sees: one line per event on standard output.
// Lines from several serial lines never interleave.
class Console {
 public:
  Console(std::FILE* out, bool json) : out_(out), json_(json) {}

  void Notice(const std::string& text);
  void Cycle(uint32_t dataId, const std::optional<RecordValues>& values, std::size_t activeAlarms);
  void Restored(uint32_t dataId, const std::optional<RecordValues>& values);
  void Alarm(const AlarmEvent& event);
  void Report(uint32_t dataId, const std::string& signalId, float value);
  void Error(uint32_t dataId, const std::string& what, unsigned long errors);
  void WriteOutcome(uint32_t dataId, uint16_t address, const std::vector<uint16_t>& values,
                    const std::string& outcome);
  void Status(uint32_t dataId, const std::string& documentText);
  void Summary(uint32_t dataId, unsigned long cycles, unsigned long errors);

  bool Json() const { return json_; }

 private:
  // Writes the line `text()` makes, or with --json the one `json()` makes; only that one is
  // built. `exact`: doubles with every digit (documents); else to 10 significant digits,
  // enough for the host's own values in tenths.
  template <typename MakeText, typename MakeJson>
  void Emit(const MakeText& text, const MakeJson& json, bool exact = false);
  void Write(std::string line);

  std::FILE* out_;
  bool json_;
  std::mutex mutex_;
};

// A JSON value as one compact line, UTF-8 kept as it is.
std::string CompactJson(const Json::Value& value, bool exact = true);

// SPDX-License-Identifier: Apache-2.0
#include "events/Console.h"

#include <cerrno>
#include <cstring>

#include "events/Clock.h"
#include "events/EventFormat.h"

std::string TimedLines(const HostEvent& event) {
  const auto text = EventLine(event.body);
  if (!text) return {};
  const std::string clock = ClockText(event.time) + " ";
  std::string lines;
  std::size_t start = 0;
  for (;;) {
    const auto end = text->find('\n', start);
    lines += clock + text->substr(start, end - start) + "\n";
    if (end == std::string::npos) return lines;
    start = end + 1;
  }
}

std::string JsonLine(const HostEvent& event) {
  auto json = EventObject(event.body);
  if (!json) return {};
  (*json)["time"] = IsoTimeText(event.time);
  return CompactJson(*json, NeedsExactNumbers(event.body)) + "\n";
}

void Console::Take(const HostEvent& event) {
  if (EventLevel(event.body) > level_) return;
  Write(json_ ? JsonLine(event) : TimedLines(event));
}

void Console::Notice(const std::string& text, LogLevel level) {
  Take(HostEvent{WallNow(), NoticeEvent{text, level}});
}

void Console::Write(const std::string& lines) {
  if (lines.empty()) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (broken_) return;
  if (std::fwrite(lines.data(), 1, lines.size(), out_) == lines.size() && std::fflush(out_) == 0) {
    return;
  }
  broken_ = true;
  // Said once; the host's work does not depend on anyone reading it.
  std::fprintf(stderr,
               "devhost: standard output failed (%s): no more events are written there; the "
               "host goes on\n",
               std::strerror(errno));
}

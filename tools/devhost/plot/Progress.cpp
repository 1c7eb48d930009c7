// SPDX-License-Identifier: Apache-2.0
#include "plot/Progress.h"

#include <cstdio>

void Progress::Say(const std::string& text) {
  const auto now = Clock::now();
  if (now - started_ < std::chrono::seconds(1)) return;
  if (shown_ && now - lastShown_ < std::chrono::seconds(1)) return;
  std::fprintf(stderr, "devhost: %s\n", text.c_str());
  lastShown_ = now;
  shown_ = true;
}

void Progress::Done() {
  if (shown_) std::fflush(stderr);
}

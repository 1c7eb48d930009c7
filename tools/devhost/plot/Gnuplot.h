// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <chrono>
#include <stdexcept>
#include <string>

struct PlotError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Runs gnuplot as a child process: `script` (with its data inline) goes to its standard input,
// the picture comes back on its standard output, so no file is made until the whole picture is
// there. Throws PlotError, with what gnuplot said, when it cannot be started, fails, makes no
// picture or takes longer
// than `limit` (it is then killed).
std::string RunGnuplot(const std::string& script, std::chrono::milliseconds limit);

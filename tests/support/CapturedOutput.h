// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <gtest/gtest.h>

#include <string>

// Runs `action` and returns what it wrote to standard output. The capture is ended also when
// the action throws, and the exception is passed on.
template <class Action>
std::string CapturedOutput(Action&& action) {
  ::testing::internal::CaptureStdout();
  try {
    action();
  } catch (...) {
    ::testing::internal::GetCapturedStdout();
    throw;
  }
  return ::testing::internal::GetCapturedStdout();
}

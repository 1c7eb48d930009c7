// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>

// Deadlines of the end-to-end tests. The host and the simulator start and answer more slowly in
// an instrumented or emulated tree than in a plain one, and more slowly again on a loaded
// machine; every limit a test sets is for the plain tree and is stretched here by the tree's
// factor, so that only a real fault, never the machine's load, ends a wait.

// How many times slower than the plain tree this tree runs: the build's factor, or the
// environment's E2E_TIME_SCALE when set (a number of at least 1).
double TimeScale();
// `limit` stretched by the tree's factor.
std::chrono::milliseconds Scaled(std::chrono::milliseconds limit);

// Polls `done` until it holds or the stretched `limit` has passed. A failure says what was
// awaited and for how long, and how every program the test started stands (running, or its exit
// status) with its last lines of output; it is also written to standard error, for callers
// that only test the outcome.
testing::AssertionResult WaitUntil(const std::string& what, std::chrono::milliseconds limit,
                                   const std::function<bool()>& done);

// The same account of the test's programs, for messages of other failures.
std::string ProgramsState();

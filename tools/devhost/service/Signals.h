#pragma once

#include <chrono>

// SIGINT and SIGTERM ask the host to stop; loops check between exchanges and while they wait.
void InstallStopHandlers();
bool StopRequested();
// Sleeps until `deadline` in one wait, returning early once a stop is requested. True when
// stopped.
bool WaitForStopUntil(std::chrono::steady_clock::time_point deadline);

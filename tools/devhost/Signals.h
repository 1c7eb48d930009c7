#pragma once

// SIGINT and SIGTERM ask the host to stop; loops check between exchanges and while they wait.
void InstallStopHandlers();
bool StopRequested();

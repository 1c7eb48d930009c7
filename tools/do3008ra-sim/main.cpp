// SPDX-License-Identifier: Apache-2.0
// do3008ra-sim: a simulated DO3008RA sensor, a Modbus-RTU slave on a pseudo-terminal or a serial
// device, with drifting values and injectable faults.
#include <csignal>
#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "ControlFile.h"
#include "FaultPlan.h"
#include "PtyLink.h"
#include "SensorRegisters.h"
#include "SimOptions.h"
#include "SimSensor.h"
#include "SimServer.h"

namespace {

volatile std::sig_atomic_t stopRequested = 0;

void RequestStop(int) { stopRequested = 1; }

void InstallStopHandlers() {
  struct sigaction action {};
  action.sa_handler = RequestStop;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

std::string Addresses(const SimOptions& options) {
  const std::string first = std::to_string(options.sensor.slave);
  if (options.sensors == 1) return "address " + first;
  return "addresses " + first + "-" + std::to_string(options.sensor.slave + options.sensors - 1);
}

int Serve(const SimOptions& options) {
  std::vector<SimSensor> sensors;
  for (int i = 0; i < options.sensors; ++i) {
    sensors.emplace_back(SensorAt(options, i), FaultsAt(options, i), options.verbose);
  }
  std::unique_ptr<PtyLink> pty;
  std::unique_ptr<SimServer> server;
  std::string where = options.device;
  if (options.device.empty()) {
    pty = std::make_unique<PtyLink>(options.link);
    if (!options.ptyGroup.empty()) pty->GiveToGroup(options.ptyGroup);
    where = pty->SlavePath();
    server = std::make_unique<SimServer>(*pty, sensors, options.wire);
  } else {
    server = std::make_unique<SimServer>(options.device, sensors, options.wire);
  }
  server->SetVerbose(options.verbose);
  ControlFile control(options.control);
  if (!options.control.empty()) server->WatchControl(control);
  std::printf("do3008ra-sim: serving on %s (%s, %d baud)\n", where.c_str(),
              Addresses(options).c_str(), BaudOfCode(options.sensor.baudCode));
  server->Run(stopRequested);
  std::printf("do3008ra-sim: %s\n", server->Summary().c_str());
  std::printf("do3008ra-sim: stopped\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  SimOptions options;
  try {
    options = ParseSimOptions(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const SimUsageError& error) {
    std::fprintf(stderr, "do3008ra-sim: %s\n%s", error.what(), SimUsage());
    return 2;
  }
  if (options.help) {
    std::fputs(SimUsage(), stdout);
    return 0;
  }
  InstallStopHandlers();
  try {
    return Serve(options);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "do3008ra-sim: %s\n", error.what());
    return 1;
  }
}

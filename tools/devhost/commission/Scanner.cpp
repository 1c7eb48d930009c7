// SPDX-License-Identifier: Apache-2.0
#include "commission/Scanner.h"

#include <chrono>
#include <memory>

#include "base/Signals.h"
#include "commission/BaudCodes.h"
#include "commission/BusRegisters.h"
#include "line/SerialLine.h"

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string ExceptionText(int code) {
  return "Modbus exception " + std::to_string(code) + ": not a DO3008RA";
}

}  // namespace

long ScanPlan::Probes() const {
  const long addresses = lastAddress >= firstAddress ? lastAddress - firstAddress + 1 : 0;
  return addresses * static_cast<long>(bauds.size()) * static_cast<long>(parities.size());
}

std::string ParityName(char parity) {
  return parity == 'E' ? "even" : parity == 'O' ? "odd" : "none";
}

Scanner::Scanner(ScanPlan plan, const BusProfile& bus, Progress progress)
    : plan_(std::move(plan)), bus_(bus), progress_(std::move(progress)) {
  if (plan_.bauds.empty()) plan_.bauds = BaudsInScanOrder(bus_);
  if (plan_.parities.empty()) plan_.parities = {'N'};
}

std::string Scanner::RegistersText() const {
  return "registers " + std::to_string(bus_.firstRegister) + "-" +
         std::to_string(bus_.firstRegister + bus_.registerCount - 1);
}

ScanResult Scanner::Run() {
  ScanResult result;
  result.port = plan_.port;
  result.total = plan_.Probes();
  LineConfig config;
  config.device = plan_.port;
  config.baudRate = plan_.bauds.front();
  config.parity = plan_.parities.front();
  config.responseTimeoutMs = plan_.timeoutMs;
  SerialLine line(config);
  line.SetWaitForLateAnswers(false);
  const auto start = Clock::now();
  for (const char parity : plan_.parities) {
    for (const int baud : plan_.bauds) {
      if (line.Baud() != baud || line.Parity() != parity) line.Reconfigure(baud, parity);
      for (int address = plan_.firstAddress; address <= plan_.lastAddress; ++address) {
        if (StopRequested()) {
          result.stopped = true;
          result.seconds = SecondsSince(start);
          return result;
        }
        const BusReading reading = ReadBusRegisters(line, address, bus_);
        ++result.probes;
        const ScanHit* hit = nullptr;
        if (reading.Plausible()) {
          result.hits.push_back(
              {address, baud, parity, reading.address, reading.baudCode, reading.baud});
          hit = &result.hits.back();
        } else if (reading.answered) {
          result.others.push_back({address, baud, parity,
                                   RegistersText() + " hold " + std::to_string(reading.address) +
                                       ", " + std::to_string(reading.baudCode)});
        } else if (reading.exception != 0) {
          result.others.push_back({address, baud, parity, ExceptionText(reading.exception)});
        }
        const double elapsed = SecondsSince(start);
        const double perProbe = elapsed / static_cast<double>(result.probes);
        const bool stopsHere = hit != nullptr && plan_.first;
        progress_({baud, parity, address, result.probes, result.total, result.hits.size(),
                   perProbe * static_cast<double>(result.total - result.probes), stopsHere},
                  hit);
        if (stopsHere) {
          result.stoppedAtHit = true;
          result.seconds = elapsed;
          return result;
        }
      }
    }
  }
  result.seconds = SecondsSince(start);
  return result;
}

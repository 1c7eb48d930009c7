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
  const long speeds = bauds.empty() ? static_cast<long>(SensorBaudsInScanOrder().size())
                                    : static_cast<long>(bauds.size());
  const long parityCount = parities.empty() ? 1 : static_cast<long>(parities.size());
  return addresses * speeds * parityCount;
}

bool ScanHit::BaudAgrees() const { return do3008ra::BaudOfCode(registerBaudCode) == baud; }

std::string ParityName(char parity) {
  return parity == 'E' ? "even" : parity == 'O' ? "odd" : "none";
}

Scanner::Scanner(ScanPlan plan, Progress progress)
    : plan_(std::move(plan)), progress_(std::move(progress)) {
  if (plan_.bauds.empty()) plan_.bauds = SensorBaudsInScanOrder();
  if (plan_.parities.empty()) plan_.parities = {'N'};
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
        const BusReading reading = ReadBusRegisters(line, address);
        ++result.probes;
        const ScanHit* hit = nullptr;
        if (reading.Plausible()) {
          result.hits.push_back({address, baud, parity, reading.address, reading.baudCode});
          hit = &result.hits.back();
        } else if (reading.answered) {
          result.others.push_back({address, baud, parity,
                                   "registers 2000-2001 hold " + std::to_string(reading.address) +
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

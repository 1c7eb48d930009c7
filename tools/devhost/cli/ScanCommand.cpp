// SPDX-License-Identifier: Apache-2.0
// scan: finding sensors on a serial port, at every address and speed of a range.
#include <cstdio>

#include "base/ExitStatus.h"
#include "cli/CommandLine.h"
#include "commission/ScanReport.h"
#include "commission/Scanner.h"
#include "events/Console.h"
#include "events/DeviceTypes.h"
#include "service/CommandResult.h"

int ScanCommand(const CommandLine& line, Console& console) {
  ScanProgressPrinter printer(stderr);
  Scanner scanner(line.scan, CommissionedType().profile.value().bus,
                  [&printer](const ScanProgress& progress, const ScanHit* hit) {
                    printer.Show(progress, hit);
                  });
  const ScanResult result = scanner.Run();
  printer.Finish();
  if (result.stopped) std::fprintf(stderr, "devhost: scan stopped by signal\n");
  // Finding nothing is the answer "no sensor there", as a status without an answer is.
  const int status = result.hits.empty() ? kExitNoAnswer : kExitOk;
  const std::string text =
      console.Json() ? DocumentText(ScanDocument(result, status)) : ScanTable(result);
  std::fwrite(text.data(), 1, text.size(), stdout);
  return status;
}

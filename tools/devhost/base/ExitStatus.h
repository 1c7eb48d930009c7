// SPDX-License-Identifier: Apache-2.0
#pragma once

// Exit statuses of devhost. A write's outcome, a commissioning change and a running host's
// answer carry the same numbers, so each is the command's exit status as it stands.
enum ExitStatus : int {
  kExitOk = 0,            // done; a write confirmed, a change verified
  kExitNotConfirmed = 1,  // the sensor echoed another value, or its registers disagree
  kExitUsage = 2,         // bad command line, configuration or request
  kExitNotDone = 2,       // a change refused by the host before anything went out
  kExitPlugin = 3,
  kExitSerial = 4,
  kExitDatabase = 5,
  kExitNoAnswer = 6,
  kExitRefused = 7,  // Modbus exception
  // readdress/rebaud --update-config: the change is verified, the configuration not written.
  kExitConfigNotUpdated = 8,
  // Whatever else ended a command: the message says what.
  kExitFailed = 1,
  // plot: the range holds no record to draw.
  kExitNothingToPlot = 1,
};

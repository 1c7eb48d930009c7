// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "base/ExitStatus.h"

class LineController;
struct HostedDevice;

// Moving a sensor to another address or speed and following it there. Each runs on the line's
// thread (a job of the running host, or the stand-alone command): it writes the register its
// type's bus profile names (events/DeviceProfile.h) through the device (command 206), and once
// the sensor confirmed, switches the host to the new setting and reads the bus registers there. A
// change that cannot be verified puts the host back on the old setting and tries the sensor there
// again. The write and the outcome are emitted as events (WriteEvent, CommissionEvent); the result
// is the command's exit status:
//   kExitOk verified; kExitNotConfirmed the sensor answered with registers that disagree (or
//   echoed another value); kExitNotDone (the address is another device's, other devices share
//   the line, or the device's type has no bus profile); kExitNoAnswer (to the write, or at the new
//   setting); kExitRefused.

int ChangeAddress(LineController& line, HostedDevice& device, int newAddress);
// `force`: change the speed even though other devices on the line will not be heard until
// each of them is moved too.
int ChangeSpeed(LineController& line, HostedDevice& device, int newBaud, bool force);

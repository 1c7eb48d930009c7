// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "events/EventFanout.h"
#include "line/LineDevices.h"
#include "store/RestoredState.h"

// Gives each device its last stored record (loaded back into the plug-in's object, which keeps
// nothing of it as new) and its last known alarm states; a device whose state could not be read
// counts that as an error of its own. On the line's thread, before its first poll.
void RestoreDevices(const LineDevices& devices, EventFanout& events, const RestoredStates& states);

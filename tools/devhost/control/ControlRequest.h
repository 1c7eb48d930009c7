// SPDX-License-Identifier: Apache-2.0
#pragma once

// The requests of the control protocol. Their names and handlers are the protocol's own table
// (control/RequestHandler.cpp); the command line names the request a device command is answered
// by, whether a running host or one started in-process answers it.
enum class ControlRequest { kStatus, kAlarms, kWrite, kReaddress, kRebaud };

// The request's name, as its "command" member carries it: "status", "alarms", ...
const char* ControlRequestName(ControlRequest request);

// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>
#include <vector>

#include "cli/CommandLine.h"

// The command-line pieces of scan, readdress and rebaud. Each throws UsageError naming what is
// wrong.

// --baud 9600,19200: speeds of the sensor's table.
void SetScanBauds(CommandLine& line, const std::string& text);
// --parity none,even,odd (or N, E, O).
void SetScanParities(CommandLine& line, const std::string& text);
// --address 30-40, or one address.
void SetScanAddresses(CommandLine& line, const std::string& text);
// --timeout MS per address.
void SetScanTimeout(CommandLine& line, const std::string& text);
// scan PORT; readdress CONFIG DATA_ID NEW_ADDRESS; rebaud CONFIG DATA_ID SPEED.
void TakeScanPort(CommandLine& line, const std::vector<std::string>& words);
void TakeChange(CommandLine& line, const std::vector<std::string>& words);

// SPDX-License-Identifier: Apache-2.0
#pragma once

// How the simulated line behaves on the wire.
struct WireSettings {
  bool paced = false;       // answers byte by byte at the line's speed, requests timed alike
  double turnaroundMs = 0;  // before each answer, after the request's silence
};

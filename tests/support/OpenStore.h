// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>

#include "store/CycleWriter.h"
#include "store/StoreConnection.h"
#include "store/StoreReader.h"

// A connection to a test's database with the store's writer and reader on it, as a line's
// store holds them.
struct OpenStore {
  OpenStore(const std::string& path, bool create) : connection(path, create) {}

  StoreConnection connection;
  CycleWriter writer{connection};
  StoreReader reader{connection};
};

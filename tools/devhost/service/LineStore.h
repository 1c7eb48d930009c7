// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "store/CycleWriter.h"
#include "store/RestoredState.h"
#include "store/StoreConnection.h"
#include "store/StoreReader.h"
#include "store/StoreSink.h"

class LineController;

// A line's database: a connection of its own (one per thread that writes) and the sink that
// keeps the line's events there, added to the line's events like any other sink. What the sink
// cannot store is counted on the line's devices and told on the line, as the line's own errors
// and notices. Throws StoreError when the database cannot be opened or takes no writes.
// A write waits at most kWriteWaitMs for another connection's lock (someone reading with
// sqlite3, a prune batch): the line polls on, and a cycle that could not be stored is counted
// as in any store outage.
class LineStore {
 public:
  static constexpr int kWriteWaitMs = 50;

  LineStore(LineController& line, const std::string& database);
  ~LineStore();
  LineStore(const LineStore&) = delete;
  LineStore& operator=(const LineStore&) = delete;

  // Each device's alarms and last record as stored; a device the store cannot be read for
  // carries why.
  RestoredStates Restored();
  // The last change of each of the device's alarms; throws StoreError.
  std::map<std::string, AlarmEvent> LastAlarms(uint32_t dataId) {
    return StoreReader(connection_).LastAlarmEvents(dataId);
  }
  StoreSink& Sink() { return sink_; }

 private:
  LineController& line_;
  StoreConnection connection_;
  CycleWriter writer_;
  StoreSink sink_;
};

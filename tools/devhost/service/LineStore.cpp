// SPDX-License-Identifier: Apache-2.0
#include "service/LineStore.h"

#include "line/DeviceReports.h"
#include "line/LineController.h"

LineStore::LineStore(LineController& line, const std::string& database)
    : line_(line),
      connection_(database, true),
      writer_(connection_),
      sink_(
          writer_,
          [&line](uint32_t dataId, const std::string& what) {
            CountStoreFailure(line.Devices(), line.Events(), dataId, what);
          },
          [&line](const std::string& text) { line.Events().Emit(NoticeEvent{text}); }) {
  // Proven before the first poll: a database that takes no writes would lose every cycle.
  for (const auto& device : line_.Devices()) writer_.ProveWritable(device->dataId);
  connection_.SetBusyTimeout(kWriteWaitMs);
  line_.Events().Add(sink_);
}

LineStore::~LineStore() { line_.Events().Remove(sink_); }

RestoredStates LineStore::Restored() {
  RestoredStates states;
  StoreReader reader(connection_);
  for (const auto& device : line_.Devices()) {
    RestoredState& state = states[device->dataId];
    try {
      state.alarms = reader.LastAlarmEvents(device->dataId);
      state.record = reader.LastRecord(device->dataId);
    } catch (const StoreError& error) {
      state.failure = error.what();
    }
  }
  return states;
}

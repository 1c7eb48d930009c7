#include "store/StoreSink.h"

#include "events/EventFormat.h"

// What each kind of event leaves in the store; events for people only leave nothing.
struct StoreSink::Writer {
  Store& store;
  const std::string& time;

  void operator()(const CycleEvent& e) const {
    // The values as the device's type read them on the line.
    store.AddHistory(e.dataId, time, e.record.data(), static_cast<unsigned>(e.record.size()),
                     e.values);
  }
  void operator()(const RecordSentEvent& e) const {
    store.PutLastRecord(e.dataId, e.code, time, e.record.data(),
                        static_cast<unsigned>(e.record.size()));
  }
  void operator()(const AlarmEvent& e) const { store.AddAlarmEvent(e); }
  void operator()(const ThresholdEvent& e) const {
    store.AddThresholdValue(e.dataId, time, e.alarmId, e.name, e.value, e.kind);
  }
  void operator()(const ReportEvent& e) const {
    store.AddReport(e.dataId, time, e.signalId, e.value);
  }
  void operator()(const LinkEvent& e) const { store.AddLinkEvent(e.dataId, time, e); }
  void operator()(const ErrorEvent& e) const {
    if (!e.fromStore) store.CountError(e.dataId, time, e.what);
  }
  template <typename Other>
  void operator()(const Other&) const {}
};

namespace {

uint32_t DataIdOf(const EventBody& body) {
  return std::visit(
      [](const auto& e) -> uint32_t {
        if constexpr (std::is_same_v<std::decay_t<decltype(e)>, NoticeEvent>) {
          return 0;
        } else {
          return e.dataId;
        }
      },
      body);
}

bool Writes(const EventBody& body) {
  if (const auto* error = std::get_if<ErrorEvent>(&body)) return !error->fromStore;
  return std::holds_alternative<CycleEvent>(body) ||
         std::holds_alternative<RecordSentEvent>(body) ||
         std::holds_alternative<AlarmEvent>(body) || std::holds_alternative<ThresholdEvent>(body) ||
         std::holds_alternative<ReportEvent>(body) || std::holds_alternative<LinkEvent>(body);
}

}  // namespace

void StoreSink::Take(const HostEvent& event) {
  if (!Writes(event.body)) return;
  ++writes_;
  if (failed_) return;  // the unit is lost already; a write now would commit on its own
  const std::string time = StoreTimeText(event.time);
  try {
    store_.Begin();
    std::visit(Writer{store_, time}, event.body);
  } catch (const StoreError& error) {
    Fail(DataIdOf(event.body), error.what());
  }
}

void StoreSink::Flush() {
  if (writes_ == 0) return;
  if (!failed_) {
    try {
      store_.Commit();
    } catch (const StoreError& error) {
      Fail(0, error.what());
    }
  }
  const auto now = StoreOutage::Clock::now();
  if (failed_) {
    outage_.Lost(writes_);
  } else if (const auto notice = outage_.Stored(now); notice && onNotice_) {
    onNotice_(*notice);
  }
  writes_ = 0;
  failed_ = false;
}

void StoreSink::Fail(uint32_t dataId, const std::string& what) {
  failed_ = true;
  try {
    store_.Rollback();
  } catch (const StoreError&) {
    // The next unit's Begin rolls back again, and reports it should that fail too.
  }
  const auto report = outage_.Failed(what, StoreOutage::Clock::now());
  if (report && onFailure_) onFailure_(dataId, *report);
}

// SPDX-License-Identifier: Apache-2.0
#include "store/StoreSink.h"

#include "events/EventFormat.h"

// What each kind of event leaves in the store; events for people only leave nothing.
struct StoreSink::Writer {
  CycleWriter& store;
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

bool Writes(const EventBody& body) {
  if (const auto* error = std::get_if<ErrorEvent>(&body)) return !error->fromStore;
  return std::holds_alternative<CycleEvent>(body) ||
         std::holds_alternative<RecordSentEvent>(body) ||
         std::holds_alternative<AlarmEvent>(body) || std::holds_alternative<ThresholdEvent>(body) ||
         std::holds_alternative<ReportEvent>(body) || std::holds_alternative<LinkEvent>(body);
}

}  // namespace

void StoreSink::Take(const HostEvent& event) {
  if (std::holds_alternative<MqttSummaryEvent>(event.body)) {
    summaries_.push_back(event);
    return;
  }
  if (!Writes(event.body)) return;
  ++writes_;
  if (failed_) return;  // the unit is lost already; a write now would commit on its own
  const std::string time = StoreTimeText(event.time);
  try {
    if (writes_ == 1) FollowPath(DataIdOf(event.body));
    if (failed_) return;  // the file was found cut short
    store_.Begin();
    std::visit(Writer{store_, time}, event.body);
  } catch (const StoreError& error) {
    Fail(DataIdOf(event.body), error.what());
  }
}

void StoreSink::Flush() {
  if (writes_ > 0) EndUnit();
  // After the unit: the counts' transaction is theirs alone.
  StoreSummaries();
}

void StoreSink::EndUnit() {
  if (!failed_) {
    try {
      store_.Commit();
    } catch (const StoreError& error) {
      Fail(0, error.what());
    }
  }
  const auto now = now_();
  failing_ = failed_;
  if (failed_) {
    ++notStored_;
    outage_.Lost(writes_);
  } else {
    ++storedSinceCheck_;
    const auto notice = outage_.Stored(now);
    if (notice && onNotice_) onNotice_(*notice);
  }
  writes_ = 0;
  failed_ = false;
}

void StoreSink::Fail(uint32_t dataId, const std::string& what, bool atOnce) {
  failed_ = true;
  lastFailure_ = what;
  try {
    store_.Rollback();
  } catch (const StoreError&) {
    // The next unit's Begin rolls back again, and reports it should that fail too.
  }
  const auto now = now_();
  FreeLog(now);
  const auto report = outage_.Failed(what, now, atOnce);
  if (report && onFailure_) onFailure_(dataId, *report);
}

void StoreSink::FreeLog(StoreOutage::Clock::time_point now) {
  if (detached_ || cutShort_ || (lastFreed_ && now - *lastFreed_ < kCheckPathEvery)) return;
  lastFreed_ = now;
  try {
    store_.Connection().FreeLog();
  } catch (const StoreError&) {
    // Tried again with a later failure.
  }
}

void StoreSink::StoreSummaries() {
  if (summaries_.empty()) return;
  const std::vector<HostEvent> summaries = std::move(summaries_);
  summaries_.clear();
  try {
    store_.Begin();
    for (const HostEvent& event : summaries) {
      store_.AddMqttSummary(StoreTimeText(event.time), std::get<MqttSummaryEvent>(event.body));
    }
    store_.Commit();
  } catch (const StoreError& error) {
    try {
      store_.Rollback();
    } catch (const StoreError&) {
    }
    if (onNotice_) onNotice_(std::string("mqtt counts not stored: ") + error.what());
  }
}

void StoreSink::FollowPath(uint32_t dataId) {
  const auto now = now_();
  const std::string& path = store_.Connection().Path();
  if (cutShort_) throw StoreError(*cutShort_);
  if (!detached_) {
    if (lastCheck_ && now - *lastCheck_ < kCheckPathEvery) return;
    lastCheck_ = now;
    if (store_.Connection().AtPath()) {
      if (const auto cut = store_.Connection().CutShort()) {
        notStored_ += storedSinceCheck_;
        cutShort_ = "database " + path + " was emptied or cut short while the host ran (" + *cut +
                    "): nothing is stored in it from now on; stop the host, move the file and "
                    "its -wal file aside and start it again";
        // Told at once, whatever was reported within the minute (SQLite may have failed on it
        // already: "file is not a database").
        return Fail(dataId,
                    *cutShort_ + "; up to " + std::to_string(storedSinceCheck_) +
                        " cycle(s) stored since the check before went with it",
                    true);
      }
      storedSinceCheck_ = 0;
      return;
    }
    detached_ = true;
    notStored_ += storedSinceCheck_;
    if (onFailure_) {
      onFailure_(dataId, "database " + store_.Connection().Path() +
                             " was removed or replaced while the host ran: up to " +
                             std::to_string(storedSinceCheck_) +
                             " cycle(s) stored since the check before went with it");
    }
    storedSinceCheck_ = 0;
  }
  if (now < nextReopen_) throw StoreError("database " + store_.Connection().Path() + " is gone");
  try {
    store_.Connection().Reopen();
  } catch (const StoreError&) {
    nextReopen_ = now + kCheckPathEvery;
    throw;
  }
  detached_ = false;
  if (onNotice_)
    onNotice_("database " + store_.Connection().Path() + " made again, storing goes on there");
}

std::optional<std::string> StoreSink::RunLosses() const {
  if (notStored_ == 0) return std::nullopt;
  std::string text = std::to_string(notStored_) + " cycle(s) not stored in this run";
  if (failing_ || detached_ || cutShort_) text += ", the store still failing: " + lastFailure_;
  return text;
}

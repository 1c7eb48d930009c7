// SPDX-License-Identifier: Apache-2.0
#include "plot/PlotData.h"

#include <algorithm>
#include <array>
#include <optional>

#include "events/TimeRange.h"

namespace {

// One pixel column of one curve: its lowest and highest sample, with their times.
struct Column {
  bool used = false;
  long long lowSeconds = 0, highSeconds = 0;
  double low = 0, high = 0;
};

// Adds a point, breaking the curve after a gap.
void Append(std::vector<PlotPoint>& points, std::optional<long long>& lastSeconds,
            long long seconds, double value, long long gapSeconds) {
  PlotPoint point{IsoFromStoreText(CalendarText(seconds)), value, false};
  point.breakBefore = lastSeconds && seconds - *lastSeconds > gapSeconds;
  lastSeconds = seconds;
  points.push_back(std::move(point));
}

// Samples are kept with their time as calendar seconds (the text is made again only for the
// points drawn) and their values side by side in one buffer, so that reading a year allocates
// nothing per record.
class Collector {
 public:
  Collector(long long first, long long last, std::size_t columns, std::size_t curves,
            long long gapSeconds)
      : first_(first),
        span_(std::max(1LL, last - first + 1)),
        columns_(columns),
        curves_(curves),
        gapSeconds_(gapSeconds) {}

  void Take(const Sample& sample) {
    const auto seconds = CalendarSeconds(sample.time);
    if (!seconds) return;
    if (!buckets_.empty()) return Bucket(*seconds, sample.values.data());
    rawSeconds_.push_back(*seconds);
    rawValues_.insert(rawValues_.end(), sample.values.begin(), sample.values.end());
    // Twice as many samples as columns: from here on, min/max per column.
    if (rawSeconds_.size() > 2 * columns_) {
      buckets_.assign(curves_, std::vector<Column>(columns_));
      for (std::size_t k = 0; k < rawSeconds_.size(); ++k) {
        Bucket(rawSeconds_[k], &rawValues_[k * curves_]);
      }
      rawSeconds_.clear();
      rawSeconds_.shrink_to_fit();
      rawValues_.clear();
      rawValues_.shrink_to_fit();
    }
  }

  void Finish(PlotSeries& series) {
    series.downsampled = !buckets_.empty();
    for (std::size_t s = 0; s < curves_; ++s) {
      std::optional<long long> last;
      auto& points = series.curves[s].points;
      // A column empty for longer than a gap shows as a gap too.
      const long long gap = std::max(gapSeconds_, 2 * span_ / static_cast<long long>(columns_));
      if (!series.downsampled) {
        for (std::size_t k = 0; k < rawSeconds_.size(); ++k) {
          Append(points, last, rawSeconds_[k], rawValues_[k * curves_ + s], gapSeconds_);
        }
        continue;
      }
      for (const Column& column : buckets_[s]) {
        if (!column.used) continue;
        if (column.lowSeconds <= column.highSeconds) {
          Append(points, last, column.lowSeconds, column.low, gap);
          Append(points, last, column.highSeconds, column.high, gap);
        } else {
          Append(points, last, column.highSeconds, column.high, gap);
          Append(points, last, column.lowSeconds, column.low, gap);
        }
      }
    }
  }

 private:
  void Bucket(long long seconds, const double* values) {
    const long long offset = std::clamp(seconds - first_, 0LL, span_ - 1);
    const auto index = static_cast<std::size_t>(offset * static_cast<long long>(columns_) / span_);
    for (std::size_t s = 0; s < curves_; ++s) {
      Column& column = buckets_[s][index];
      const double value = values[s];
      if (!column.used) {
        column = Column{true, seconds, seconds, value, value};
      } else if (value < column.low) {
        column.low = value;
        column.lowSeconds = seconds;
      } else if (value > column.high) {
        column.high = value;
        column.highSeconds = seconds;
      }
    }
  }

  long long first_, span_;
  std::size_t columns_;
  std::size_t curves_;
  long long gapSeconds_;
  std::vector<long long> rawSeconds_;
  std::vector<double> rawValues_;             // curves_ values per raw sample
  std::vector<std::vector<Column>> buckets_;  // per curve, per column
};

}  // namespace

std::optional<PlotSource> ChoosePlotSource(StoreReader& store, uint32_t dataId,
                                           const TimeRange& range, std::size_t columns) {
  std::array<std::optional<long long>, kLevels> first;
  std::array<PlotSpan, kLevels> spans;
  std::optional<long long> from, to;
  const bool rollups = store.Rollups().Complete();
  for (const Level level : {Level::kRaw, Level::kMinute, Level::kHour}) {
    if (level != Level::kRaw && !rollups) continue;
    const auto span = store.Span(level, dataId, range);
    if (!span) continue;
    const auto a = CalendarSeconds(span->first), b = CalendarSeconds(span->second);
    if (!a || !b) continue;
    const auto i = static_cast<std::size_t>(level);
    first[i] = *a;
    spans[i] = PlotSpan{span->first, span->second};
    // The span the data surely covers: a bucket's first record may be as late as its end.
    const long long latestFirst = *a + std::max(FactsOf(level).seconds - 1, 0LL);
    if (!from || latestFirst < *from) from = latestFirst;
    if (!to || *b > *to) to = *b;
  }
  if (!from) return std::nullopt;
  const long long perColumn =
      std::max(*to - *from, 0LL) / static_cast<long long>(std::max<std::size_t>(columns, 1));
  const Level level = ChooseLevel(perColumn, first);
  return PlotSource{level, spans[static_cast<std::size_t>(level)]};
}

PlotSeries ReadPlotSeries(StoreReader& store, uint32_t dataId, const TimeRange& range,
                          const PlotSpan& span, std::size_t columns, long long gapSeconds,
                          const std::function<void(long long rows)>& progress, Level level) {
  PlotSeries series;
  series.level = level;
  // The type of the newest record in the range that has a type the host knows by its length;
  // where the range has no rows left (pruned, its rollups kept), the device's last record's.
  std::vector<std::size_t> lengths;
  for (const DeviceType& type : DeviceTypes()) {
    if (DeviceTypeOfLength(type.recordLength) == &type) lengths.push_back(type.recordLength);
  }
  if (const auto length = store.NewestRecordLength(dataId, range, lengths)) {
    series.type = DeviceTypeOfLength(*length);
  } else if (const auto last = store.LastRecord(dataId); last && level != Level::kRaw) {
    series.type = DeviceTypeOfLength(last->record.size());
  }
  if (series.type == nullptr) return series;
  std::vector<std::string> keys;
  for (const RecordField* field : series.type->FieldsOf(FieldKind::kMeasured)) {
    series.curves.push_back(PlotCurve{field, {}});
    keys.push_back(field->key);
  }
  const long long bucket = FactsOf(level).seconds;
  Collector collector(CalendarSeconds(span.first).value_or(0),
                      CalendarSeconds(span.last).value_or(0), std::max<std::size_t>(columns, 1),
                      keys.size(), std::max(gapSeconds, 2 * bucket));
  if (level == Level::kRaw) {
    store.ForEachSample(dataId, range, keys, [&](const Sample& sample) {
      collector.Take(sample);
      if (++series.samples % 65536 == 0) progress(series.samples);
    });
  } else {
    // Each measured field's place among the rollup columns.
    std::vector<std::size_t> at;
    for (const std::string& key : keys) {
      const auto& rollupColumns = RollupColumns();
      for (std::size_t c = 0; c < rollupColumns.size(); ++c) {
        if (rollupColumns[c].key == key) at.push_back(c);
      }
    }
    RowQuery query;
    query.dataId = dataId;
    query.range = range;
    Sample low, high;
    low.values.resize(keys.size());
    high.values.resize(keys.size());
    store.ForEachAggregate(level, level, query, [&](const Aggregate& aggregate) {
      for (std::size_t k = 0; k < at.size(); ++k) {
        const auto& figures = aggregate.fields[at[k]];
        if (!figures) return;  // a bucket of another type's records
        low.values[k] = figures->min;
        high.values[k] = figures->max;
      }
      low.time = high.time = aggregate.time;
      collector.Take(low);
      collector.Take(high);
      series.samples += aggregate.count;
      if (++series.buckets % 65536 == 0) progress(series.buckets);
    });
  }
  collector.Finish(series);
  return series;
}

#include "plot/PlotData.h"

#include <algorithm>
#include <optional>

#include "store/TimeRange.h"

namespace {

// A sample as kept for drawing: its time as calendar seconds (the text is made again only for
// the points drawn), so that reading a year allocates nothing per record.
struct Kept {
  long long seconds = 0;
  double values[3] = {0, 0, 0};
};

// One pixel column of one signal: its lowest and highest sample.
struct Column {
  bool used = false;
  Kept low, high;
};

std::vector<PlotPoint>& SeriesOf(PlotSeries& series, int signal) {
  return signal == 0 ? series.temperature : signal == 1 ? series.humidity : series.pressure;
}

// Adds a point, breaking the curve after a gap.
void Append(std::vector<PlotPoint>& points, std::optional<long long>& lastSeconds, const Kept& kept,
            double value, long long gapSeconds) {
  PlotPoint point{IsoFromStoreText(CalendarText(kept.seconds)), value, false};
  point.breakBefore = lastSeconds && kept.seconds - *lastSeconds > gapSeconds;
  lastSeconds = kept.seconds;
  points.push_back(std::move(point));
}

class Collector {
 public:
  Collector(long long first, long long last, std::size_t columns, long long gapSeconds)
      : first_(first),
        span_(std::max(1LL, last - first + 1)),
        columns_(columns),
        gapSeconds_(gapSeconds) {}

  void Take(const Sample& sample) {
    const auto seconds = CalendarSeconds(sample.time);
    if (!seconds) return;
    const Kept kept{*seconds, {sample.temperature, sample.humidity, sample.pressure}};
    if (!buckets_.empty()) return Bucket(kept);
    raw_.push_back(kept);
    // Twice as many samples as columns: from here on, min/max per column.
    if (raw_.size() > 2 * columns_) {
      buckets_.assign(3, std::vector<Column>(columns_));
      for (const Kept& k : raw_) Bucket(k);
      raw_.clear();
      raw_.shrink_to_fit();
    }
  }

  void Finish(PlotSeries& series) {
    series.downsampled = !buckets_.empty();
    for (int s = 0; s < 3; ++s) {
      std::optional<long long> last;
      auto& points = SeriesOf(series, s);
      // A column empty for longer than a gap shows as a gap too.
      const long long gap = std::max(gapSeconds_, 2 * span_ / static_cast<long long>(columns_));
      if (!series.downsampled) {
        for (const Kept& k : raw_) Append(points, last, k, k.values[s], gapSeconds_);
        continue;
      }
      for (const Column& column : buckets_[s]) {
        if (!column.used) continue;
        const bool lowFirst = column.low.seconds <= column.high.seconds;
        const Kept& a = lowFirst ? column.low : column.high;
        const Kept& b = lowFirst ? column.high : column.low;
        Append(points, last, a, a.values[s], gap);
        Append(points, last, b, b.values[s], gap);
      }
    }
  }

 private:
  void Bucket(const Kept& kept) {
    const long long offset = std::clamp(kept.seconds - first_, 0LL, span_ - 1);
    const auto index = static_cast<std::size_t>(offset * static_cast<long long>(columns_) / span_);
    for (int s = 0; s < 3; ++s) {
      Column& column = buckets_[s][index];
      const double value = kept.values[s];
      if (!column.used) {
        column = Column{true, kept, kept};
      } else if (value < column.low.values[s]) {
        column.low = kept;
      } else if (value > column.high.values[s]) {
        column.high = kept;
      }
    }
  }

  long long first_, span_;
  std::size_t columns_;
  long long gapSeconds_;
  std::vector<Kept> raw_;
  std::vector<std::vector<Column>> buckets_;  // per signal, per column
};

}  // namespace

PlotSeries ReadPlotSeries(Store& store, uint32_t dataId, const TimeRange& range,
                          const PlotSpan& span, std::size_t columns, long long gapSeconds,
                          const std::function<void(long long rows)>& progress) {
  PlotSeries series;
  Collector collector(CalendarSeconds(span.first).value_or(0),
                      CalendarSeconds(span.last).value_or(0), std::max<std::size_t>(columns, 1),
                      gapSeconds);
  store.ForEachSample(dataId, range, [&](const Sample& sample) {
    collector.Take(sample);
    if (++series.samples % 65536 == 0) progress(series.samples);
  });
  collector.Finish(series);
  return series;
}

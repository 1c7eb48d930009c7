// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "store/Rollups.h"
#include "store/StoreReader.h"

// The curves of one device over a range, one per measured field of its records' type, ready to
// draw: every stored sample when they are few, else the minimum and maximum of each pixel column
// (in the order they occurred), so a year of 1-second cycles draws as a few thousand points with
// every peak kept. A point with `breakBefore` starts a new segment: the data had a gap there.
struct PlotPoint {
  std::string time;  // ISO 8601
  double value = 0;
  bool breakBefore = false;
};

struct PlotCurve {
  const RecordField* field = nullptr;  // the measured field it draws
  std::vector<PlotPoint> points;
};

struct PlotSeries {
  // The type of the device's records: that of the newest record in the range whose length names
  // a known type; none: no curves.
  const DeviceType* type = nullptr;
  std::vector<PlotCurve> curves;  // the type's measured fields, in order
  long long samples = 0;          // records the curves stand for
  bool downsampled = false;
  Level level = Level::kRaw;  // read from the history rows, or from the rollups of a level
  long long buckets = 0;      // rollup rows read
};

struct PlotSpan {
  std::string first, last;  // store text of the first and last sample in the range
};

// Reads the device's samples in `range` from `store`: from the history rows, or, with a rollup
// `level`, each bucket's minimum and maximum at the bucket's start. `columns` is the number of
// pixel columns; a gap longer than `gapSeconds` between samples (and two buckets) breaks the
// curves. `progress` is called now and then with the rows read so far.
PlotSeries ReadPlotSeries(StoreReader& store, uint32_t dataId, const TimeRange& range,
                          const PlotSpan& span, std::size_t columns, long long gapSeconds,
                          const std::function<void(long long rows)>& progress,
                          Level level = Level::kRaw);
// The level a plot of `range` over `columns` pixel columns is drawn from: the coarsest whose
// buckets still fill every column and that reaches back to the first data in the range
// (ChooseLevel), the rollups only once they are complete. Also the span of all the levels.
struct PlotSource {
  Level level = Level::kRaw;
  PlotSpan span;
};
std::optional<PlotSource> ChoosePlotSource(StoreReader& store, uint32_t dataId,
                                           const TimeRange& range, std::size_t columns);

// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>
#include <vector>

#include <json/value.h>

#include "plot/PlotData.h"

// A mode-5 limit of one signal, as the device's thresholdSetting gives it.
struct PlotLimit {
  int signal = 0;     // the curve (PlotSeries::curves) of the signal
  std::string label;  // "T01 UpValue 30"
  double value = 0;
};

// A moment an alarm was raised or cleared.
struct PlotAlarm {
  int signal = 0;
  std::string time;  // ISO 8601
  bool raised = false;
  std::string id;  // "T01001", the line's label
};

// A time the link was lost, until it was restored (or the range ended).
struct PlotOutage {
  std::string from, to;  // ISO 8601
};

struct PlotRequest {
  uint32_t dataId = 0;
  std::string first, last;    // ISO 8601: the time axis
  long long spanSeconds = 0;  // from first to last, for the labels of the time axis
  bool png = false;
  int width = 1200, height = 900;
  PlotSeries series;
  std::vector<PlotLimit> limits;
  std::vector<PlotAlarm> alarms;
  std::vector<PlotOutage> outages;
};

// The device's mode-5 limits per signal name (a DO3008RA's 温度, 湿度, 气压) from its settings
// document; none when its mode is another.
std::vector<PlotLimit> ModeFiveLimits(const Json::Value& settings, const PlotSeries& series);
// The curve of the series that draws the signal of this name (RecordField::signal), -1 for none.
int SignalOfName(const PlotSeries& series, const std::string& name);
// Where the curves come from, for the title and the line that tells a person: "from the
// records", "from the hour rollups (8760 hours)".
std::string LevelText(const PlotSeries& series);
// The gnuplot script, with every curve's data inline: a panel per curve on one time axis.
std::string PlotScriptText(const PlotRequest& request);

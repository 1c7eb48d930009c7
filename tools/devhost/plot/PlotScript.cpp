// SPDX-License-Identifier: Apache-2.0
#include "plot/PlotScript.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <optional>

#include "events/TimeRange.h"

namespace {

// The curves' colours, in the order of the panels.
const char* const kColours[] = {"#c0392b", "#2471a3", "#1e8449", "#b9770e", "#7f8c8d"};
constexpr std::size_t kColourCount = sizeof kColours / sizeof kColours[0];
const char* const kLimitKeys[4] = {"UpValue", "Up2Value", "LowValue", "Low2Value"};
const char* const kRaisedColour = "\"#e74c3c\"";
const char* const kClearedColour = "\"#27ae60\"";
const char* const kLostStyle = "fillcolor rgb \"#d5d8dc\" fillstyle solid 0.6 noborder";

std::optional<double> NumberOf(const Json::Value& value) {
  if (value.isNumeric()) return value.asDouble();
  if (!value.isString() || value.asString().empty()) return std::nullopt;
  const std::string text = value.asString();
  char* end = nullptr;
  const double number = std::strtod(text.c_str(), &end);
  return end != text.c_str() ? std::optional<double>(number) : std::nullopt;
}

std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.10g", value);
  return text;
}

// gnuplot string in double quotes.
std::string GnuplotQuoted(const std::string& text) {
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') quoted += '\\';
    if (c != '\n' && c != '\r') quoted += c;
  }
  return quoted + "\"";
}

std::string DataBlock(const std::string& name, const std::vector<PlotPoint>& points) {
  std::string block = "$" + name + " << EOD\n";
  for (const PlotPoint& point : points) {
    if (point.breakBefore) block += "\n";
    block += point.time + " " + Number(point.value) + "\n";
  }
  return block + "EOD\n";
}

// Labels as short as the span allows, so that they do not run into each other. A range that
// reaches into another day names the day with each time: a lone 00:00:00 says not which one.
std::string TimeFormat(const PlotRequest& request) {
  const long long span = request.spanSeconds;
  if (span > 60 * 86400) return "\"%Y-%m-%d\"";
  if (request.first.compare(0, 10, request.last, 0, 10) == 0) return "\"%H:%M:%S\"";
  if (span <= 3600) return "\"%m-%d\\n%H:%M:%S\"";
  return "\"%m-%d\\n%H:%M\"";
}

// Where each alarm label of the panel stands (graph height of its top), nothing where it is left
// out. The labels stand upright at their lines; one closer to the last label at its height than
// a label is thick would cover it, so it steps down, and where every step is taken it is left
// out: its line stays and the legend names its colour.
std::vector<std::optional<double>> AlarmLabelHeights(const PlotRequest& request, int signal) {
  constexpr double kHeights[] = {0.97, 0.66, 0.35};
  constexpr double kLabelPixels = 14;      // an 8-point label's thickness, with a little room
  constexpr int kRightOfAxisPixels = 220;  // both margins, the legend's included
  const double axisPixels = std::max(request.width - kRightOfAxisPixels, 100);
  const double spacing =
      static_cast<double>(std::max(request.spanSeconds, 1LL)) * kLabelPixels / axisPixels;
  std::vector<double> lastAt(std::size(kHeights), -INFINITY);
  std::vector<std::optional<double>> heights;
  for (const PlotAlarm& alarm : request.alarms) {
    if (alarm.signal != signal) continue;
    const auto at = CalendarSeconds(alarm.time);
    heights.emplace_back();
    for (std::size_t k = 0; at && k < std::size(kHeights); ++k) {
      if (static_cast<double>(*at) - lastAt[k] < spacing) continue;
      lastAt[k] = static_cast<double>(*at);
      heights.back() = kHeights[k];
      break;
    }
  }
  return heights;
}

// The panel's value axis: its values and limits with a tenth of their range above and
// below, so that a flat curve or one at a limit's height is not drawn on the frame.
std::string ValueRange(const PlotRequest& request, int signal) {
  double low = INFINITY, high = -INFINITY;
  for (const PlotPoint& point : request.series.curves[signal].points) {
    low = std::min(low, point.value);
    high = std::max(high, point.value);
  }
  for (const PlotLimit& limit : request.limits) {
    if (limit.signal != signal) continue;
    low = std::min(low, limit.value);
    high = std::max(high, limit.value);
  }
  if (!std::isfinite(low) || !std::isfinite(high)) return "set autoscale y\n";
  const double margin = high > low ? (high - low) / 10 : std::max(std::fabs(low) / 100, 0.5);
  return "set yrange [" + Number(low - margin) + ":" + Number(high + margin) + "]\n";
}

// Legend entries in the right margin for the alarm lines and lost-link bands, drawn by hand:
// gnuplot's key lists curves only, and turned on it would list every curve and limit too.
std::string Legend(bool raised, bool cleared, bool lost) {
  std::string text;
  double y = 0.92;
  const auto entry = [&](const std::string& sample, const char* name) {
    text += sample + "\nset label " + GnuplotQuoted(name) + " at graph 1.055, graph " + Number(y) +
            " left font \",9\"\n";
    y -= 0.14;
  };
  const auto line = [&](const char* colour) {
    return "set arrow from graph 1.012, graph " + Number(y) + " to graph 1.045, graph " +
           Number(y) + " nohead dashtype 2 linewidth 1.5 linecolor rgb " + colour;
  };
  if (raised) entry(line(kRaisedColour), "alarm raised");
  if (cleared) entry(line(kClearedColour), "alarm cleared");
  if (lost) {
    entry("set object rect from graph 1.012, graph " + Number(y - 0.04) +
              " to graph 1.045, graph " + Number(y + 0.04) + " " + kLostStyle + " noclip",
          "link lost");
  }
  return text;
}

// The panel of curve `signal`; the last panel carries the time axis.
std::string Panel(const PlotRequest& request, int signal) {
  const auto& curves = request.series.curves;
  const RecordField& field = *curves[signal].field;
  const std::string& title = field.key;
  const char* colour = kColours[static_cast<std::size_t>(signal) % kColourCount];
  std::string text = "unset arrow\nunset label\nunset object\n";
  text += "set ylabel " +
          GnuplotQuoted(field.unit.empty() ? title : title + " (" + field.unit + ")") + "\n";
  if (signal + 1 == static_cast<int>(curves.size())) {
    text += "set format x " + TimeFormat(request) + "\nset xlabel \"local time\"\n";
  } else {
    text += "set format x \"\"\nunset xlabel\n";
  }
  int object = 1;
  for (const PlotOutage& outage : request.outages) {
    text += "set object " + std::to_string(object++) + " rect from " + GnuplotQuoted(outage.from) +
            ", graph 0 to " + GnuplotQuoted(outage.to) + ", graph 1 " + kLostStyle + " behind\n";
  }
  bool raised = false, cleared = false;
  const auto labelHeights = AlarmLabelHeights(request, signal);
  std::size_t labelIndex = 0;
  for (const PlotAlarm& alarm : request.alarms) {
    if (alarm.signal != signal) continue;
    const char* lineColour = alarm.raised ? kRaisedColour : kClearedColour;
    text += "set arrow from " + GnuplotQuoted(alarm.time) + ", graph 0 to " +
            GnuplotQuoted(alarm.time) + ", graph 1 nohead dashtype 2 linecolor rgb " + lineColour +
            "\n";
    if (const auto height = labelHeights[labelIndex++]) {
      text += "set label " + GnuplotQuoted(alarm.id) + " at " + GnuplotQuoted(alarm.time) +
              ", graph " + Number(*height) + " rotate by 90 right offset -1,0 font \",8\" " +
              "textcolor rgb " + lineColour + "\n";
    }
    (alarm.raised ? raised : cleared) = true;
  }
  text += ValueRange(request, signal);
  text += Legend(raised, cleared, !request.outages.empty());
  std::string plot = "plot $" + title + " using 1:2 with lines linewidth 1.5 linecolor rgb " +
                     GnuplotQuoted(colour) + " title " + GnuplotQuoted(title);
  int limitIndex = 0;
  for (const PlotLimit& limit : request.limits) {
    if (limit.signal != signal) continue;
    // Each limit is a curve of its own, so that it shares the panel's scale with the data.
    const std::string name = title + "_limit" + std::to_string(limitIndex++);
    text += "$" + name + " << EOD\n" + request.first + " " + Number(limit.value) + "\n" +
            request.last + " " + Number(limit.value) + "\nEOD\n";
    text += "set label " + GnuplotQuoted(limit.label) + " at graph 0.99, first " +
            Number(limit.value) + " right offset 0,0.6 font \",9\"\n";
    plot += ", $" + name + " using 1:2 with lines dashtype 3 linecolor rgb \"#7d3c98\" title " +
            GnuplotQuoted(limit.label);
  }
  return text + plot + "\n";
}

}  // namespace

int SignalOfName(const PlotSeries& series, const std::string& name) {
  for (std::size_t i = 0; i < series.curves.size(); ++i) {
    const std::string& signal = series.curves[i].field->signal;
    if (!signal.empty() && signal == name) return static_cast<int>(i);
  }
  return -1;
}

std::vector<PlotLimit> ModeFiveLimits(const Json::Value& settings, const PlotSeries& series) {
  std::vector<PlotLimit> limits;
  if (!settings.isObject()) return limits;
  const Json::Value& app = settings["appSetting"];
  const auto mode = app.isObject() ? NumberOf(app["b_mode"]) : std::nullopt;
  const Json::Value& rules = settings["thresholdSetting"];
  if (!mode || *mode != 5 || !rules.isObject()) return limits;
  for (const std::string& member : rules.getMemberNames()) {
    const Json::Value& rule = rules[member];
    if (!rule.isObject() || !rule["SignalName"].isString()) continue;
    const int signal = SignalOfName(series, rule["SignalName"].asString());
    if (signal < 0) continue;
    const std::string id = rule["ID"].isString() ? rule["ID"].asString() : member;
    for (const char* key : kLimitKeys) {
      if (const auto value = NumberOf(rule[key])) {
        limits.push_back(PlotLimit{signal, id + " " + key + " " + Number(*value), *value});
      }
    }
  }
  return limits;
}

std::string LevelText(const PlotSeries& series) {
  if (series.level == Level::kRaw) return "from the records";
  const std::string name = FactsOf(series.level).name;
  return "from the " + name + " rollups (" + std::to_string(series.buckets) + " " + name + "s)";
}

std::string PlotScriptText(const PlotRequest& request) {
  std::string script;
  if (request.png) {
    script += "set terminal pngcairo size " + std::to_string(request.width) + "," +
              std::to_string(request.height) + " font \"sans,10\"\n";
  } else {
    script += "set terminal svg size " + std::to_string(request.width) + "," +
              std::to_string(request.height) + " font \"sans,10\" background \"white\"\n";
  }
  script += "set encoding utf8\nset xdata time\nset timefmt \"%Y-%m-%dT%H:%M:%S\"\n";
  script +=
      "set xrange [" + GnuplotQuoted(request.first) + ":" + GnuplotQuoted(request.last) + "]\n";
  // The legend sits in a right margin of fixed width, so that the panels' time axes line up.
  script += "set key off\nset grid\nset lmargin 12\nset rmargin 18\n";
  const auto& curves = request.series.curves;
  for (const PlotCurve& curve : curves) script += DataBlock(curve.field->key, curve.points);
  script += "set multiplot layout " + std::to_string(curves.size()) + ",1 title " +
            GnuplotQuoted("device " + std::to_string(request.dataId) + ", " + request.first +
                          " to " + request.last + ", " + LevelText(request.series)) +
            "\n";
  for (std::size_t i = 0; i < curves.size(); ++i) script += Panel(request, static_cast<int>(i));
  return script + "unset multiplot\n";
}

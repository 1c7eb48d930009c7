// SPDX-License-Identifier: Apache-2.0
// The gnuplot script of `devhost plot` as text: what a panel says about its alarms, lost links
// and value axis, without running gnuplot.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "events/DeviceTypes.h"
#include "plot/PlotScript.h"

namespace {

// The script's panels, each from its "unset arrow" on.
std::vector<std::string> Panels(const std::string& script) {
  std::vector<std::string> panels;
  for (auto at = script.find("unset arrow\n"); at != std::string::npos;) {
    const auto next = script.find("unset arrow\n", at + 1);
    panels.push_back(script.substr(at, next == std::string::npos ? next : next - at));
    at = next;
  }
  return panels;
}

bool ValueAxis(const std::string& panel, double& low, double& high) {
  const auto at = panel.find("set yrange [");
  return at != std::string::npos &&
         std::sscanf(panel.c_str() + at, "set yrange [%lf:%lf]", &low, &high) == 2;
}

std::vector<PlotPoint> Flat(double value) {
  return {{"2026-12-08T09:00:00", value}, {"2026-12-08T09:00:10", value}};
}

TEST(PlotScript, AlarmLinesAreNamedLostLinksAreInTheLegendAndFlatCurvesKeepOffTheFrame) {
  PlotRequest request;
  request.dataId = 12;
  request.first = "2026-12-08T09:00:00";
  request.last = "2026-12-08T09:00:10";
  const DeviceType& type = DeviceTypes().front();
  for (const RecordField* field : type.FieldsOf(FieldKind::kMeasured)) {
    request.series.curves.push_back(PlotCurve{field, Flat(field->key == "humidity" ? 45 : 1013.2)});
  }
  ASSERT_EQ(request.series.curves.size(), 3u);
  ASSERT_EQ(request.series.curves[1].field->key, "humidity");
  request.series.curves[0].points = {{"2026-12-08T09:00:00", 24}, {"2026-12-08T09:00:10", 31.5}};
  request.limits = {{0, "T01 UpValue 30", 30}, {1, "H01 UpValue 80", 80}};
  request.alarms = {{0, "2026-12-08T09:00:03", true, "T01001"},
                    {0, "2026-12-08T09:00:07", false, "T01001"}};
  request.outages = {{"2026-12-08T09:00:08", "2026-12-08T09:00:09"}};

  const auto panels = Panels(PlotScriptText(request));
  ASSERT_EQ(panels.size(), 3u);
  const std::string& temperature = panels[0];
  EXPECT_NE(temperature.find("set label \"T01001\" at \"2026-12-08T09:00:03\""), std::string::npos)
      << temperature;
  EXPECT_NE(temperature.find("set label \"T01001\" at \"2026-12-08T09:00:07\""), std::string::npos)
      << temperature;
  for (const char* entry : {"\"alarm raised\"", "\"alarm cleared\"", "\"link lost\""}) {
    EXPECT_NE(temperature.find(entry), std::string::npos) << entry << "\n" << temperature;
  }
  // The other panels draw no alarm lines, so they name none; the lost link is in every one.
  EXPECT_EQ(panels[1].find("alarm"), std::string::npos) << panels[1];
  EXPECT_NE(panels[2].find("\"link lost\""), std::string::npos) << panels[2];

  // Humidity flat at 45 below its limit 80: both inside the axis, not on its ends.
  double low = 0, high = 0;
  ASSERT_TRUE(ValueAxis(panels[1], low, high)) << panels[1];
  EXPECT_LT(low, 45);
  EXPECT_GT(high, 80);
  ASSERT_TRUE(ValueAxis(panels[2], low, high)) << panels[2];
  EXPECT_LT(low, 1013.2);
  EXPECT_GT(high, 1013.2);
  ASSERT_TRUE(ValueAxis(panels[0], low, high)) << panels[0];
  EXPECT_LT(low, 24);
  EXPECT_GT(high, 31.5);
}

// A day's axis names the days; alarm changes seconds apart keep every line, their labels step
// down the panel instead of covering each other, and one with no free step is left out.
TEST(PlotScript, ADayNamesItsDatesAndAlarmLabelsSecondsApartDoNotCoverEachOther) {
  PlotRequest request;
  request.first = "2026-12-07T12:00:00";
  request.last = "2026-12-08T12:00:00";
  request.spanSeconds = 86400;
  const DeviceType& type = DeviceTypes().front();
  for (const RecordField* field : type.FieldsOf(FieldKind::kMeasured)) {
    request.series.curves.push_back(PlotCurve{field, Flat(20)});
  }
  for (const char* time : {"2026-12-08T09:00:00", "2026-12-08T09:00:02", "2026-12-08T09:00:04",
                           "2026-12-08T09:00:06", "2026-12-08T11:00:00"}) {
    request.alarms.push_back({0, time, true, "T01001"});
  }
  auto panels = Panels(PlotScriptText(request));
  ASSERT_EQ(panels.size(), 3u);
  EXPECT_NE(panels[2].find("set format x \"%m-%d\\n%H:%M\""), std::string::npos) << panels[2];
  const std::string& temperature = panels[0];
  for (const char* label : {"at \"2026-12-08T09:00:00\", graph 0.97", "09:00:02\", graph 0.66",
                            "09:00:04\", graph 0.35", "at \"2026-12-08T11:00:00\", graph 0.97"}) {
    EXPECT_NE(temperature.find(label), std::string::npos) << label << "\n" << temperature;
  }
  EXPECT_EQ(temperature.find("set label \"T01001\" at \"2026-12-08T09:00:06\""), std::string::npos);
  EXPECT_NE(temperature.find("set arrow from \"2026-12-08T09:00:06\""), std::string::npos);

  // The same hours within one day: times alone.
  request.first = "2026-12-08T00:00:00";
  request.last = "2026-12-08T23:59:59";
  panels = Panels(PlotScriptText(request));
  EXPECT_NE(panels[2].find("set format x \"%H:%M:%S\""), std::string::npos) << panels[2];
}

}  // namespace

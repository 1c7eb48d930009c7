// SPDX-License-Identifier: Apache-2.0
// `devhost history --alarms`, `--links`, `--reports` as tables: every column lines up on a
// terminal, also where a cell holds Chinese characters, which take two columns each.
#include <gtest/gtest.h>

#include "store/HistoryExport.h"

namespace {

TEST(HistoryTable, ColumnsLineUpNumbersToTheRightAChineseCharacterTwoColumnsWide) {
  StoredRows rows;
  rows.columns = {"id", "signal_name", "level", "alarm_text"};
  rows.rows = {{Json::Value(9), "温度", Json::Value(2), "当前值31高于阈值:30"},
               {Json::Value(10), "humidity", Json::Value(1), ""}};
  EXPECT_EQ(EventRowsTable(rows, "alarms"),
            "id  signal_name  level  alarm_text\n"
            " 9  温度             2  当前值31高于阈值:30\n"
            "10  humidity         1\n"
            "2 alarms row(s)\n");
}

}  // namespace

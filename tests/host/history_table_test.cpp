// SPDX-License-Identifier: Apache-2.0
// `devhost history --alarms` and `--links` as tables: every column lines up on a terminal, also
// where a cell holds Chinese characters, which take two columns each.
#include <gtest/gtest.h>

#include "store/HistoryExport.h"

namespace {

Json::Value Whole(int value) { return Json::Value(value); }

TEST(HistoryTable, LinkRowsLineUpUnderTheirHeadersNumbersToTheRight) {
  StoredRows rows;
  rows.columns = {"id", "data_id", "event", "failed_cycles", "failure"};
  rows.rows = {{Whole(9), Whole(12), "lost", Whole(3), "read input registers 0/4: timed out"},
               {Whole(10), Whole(12), "restored", Whole(12), ""}};
  EXPECT_EQ(EventRowsTable(rows, "link"),
            "id  data_id  event     failed_cycles  failure\n"
            " 9       12  lost                  3  read input registers 0/4: timed out\n"
            "10       12  restored             12\n"
            "2 link row(s)\n");
}

TEST(HistoryTable, AChineseSignalNameTakesTwoColumnsACharacter) {
  StoredRows rows;
  rows.columns = {"alarm_id", "signal_name", "level", "alarm_text"};
  rows.rows = {{"T01001", "温度", Whole(2), "当前值31高于阈值:30"},
               {"H01001", "humidity", Whole(1), ""}};
  EXPECT_EQ(EventRowsTable(rows, "alarm"),
            "alarm_id  signal_name  level  alarm_text\n"
            "T01001    温度             2  当前值31高于阈值:30\n"
            "H01001    humidity         1\n"
            "2 alarm row(s)\n");
}

}  // namespace

// SPDX-License-Identifier: Apache-2.0
// A device's alarm book without a line: what a device restored with an alarm active is believed
// once it confirms the alarm, and without a rule to judge its report by.
#include <gtest/gtest.h>

#include "line/AlarmBook.h"

namespace {

AlarmEvent Report(const std::string& alarmId, bool active, const std::string& value) {
  AlarmEvent event;
  event.dataId = 21;
  event.alarmId = alarmId;
  event.signalName = "温度";
  event.active = active;
  event.valueText = value;
  return event;
}

AlarmBook RestoredActive(const std::string& alarmId) {
  AlarmBook book;
  book.SetRules({{"T01001", AlarmRecovery{true, 28, "temperature", false}}});
  book.Restore({{alarmId, Report(alarmId, true, "31")}});
  return book;
}

// Once the device reports the restored alarm active itself, its later clear is a clear, even
// short of the recover value: it knows the alarm again.
TEST(AlarmBook, AnAlarmTheDeviceConfirmedClearsAtItsWord) {
  AlarmBook book = RestoredActive("T01001");
  EXPECT_FALSE(book.Repeats("T01001", true));  // not announced yet: the report goes through
  EXPECT_FALSE(book.Note(Report("T01001", true, "30.5")).changed);
  ASSERT_TRUE(book.Announce(Report("T01001", true, "30.5"), nullptr));
  EXPECT_TRUE(book.Repeats("T01001", true));
  const AlarmNote cleared = book.Note(Report("T01001", false, "29.5"));
  EXPECT_TRUE(cleared.changed);
  EXPECT_TRUE(cleared.keptActive.empty());
  EXPECT_EQ(book.ActiveCount(), 0u);
}

// An alarm restored active with no rule in the settings: the device's first "inactive" clears
// it, and the rule is named by the device's signal.
TEST(AlarmBook, WithoutARuleTheDevicesWordIsTaken) {
  AlarmBook book = RestoredActive("X01001");
  EXPECT_TRUE(book.Note(Report("X01001", false, "29.5")).changed);
  EXPECT_TRUE(book.Active().empty());
  EXPECT_EQ(book.Announce(Report("X01001", false, "29.5"), nullptr), "Alarm X01001 (温度)");
  EXPECT_FALSE(book.Announce(Report("X01001", false, "29.5"), nullptr));
}

}  // namespace

// SPDX-License-Identifier: Apache-2.0
// The host's registry of device types and the loops over their fields, in process: the DO3008RA
// entry decodes a known record to known values field by field, a record of no known type or of
// the wrong length gives nothing, and a second type made up here goes through the same loops
// (console, JSON, MQTT, store columns) with nothing but its entry.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "do3008ra/sensor_facts.h"
#include "events/DeviceTypes.h"
#include "events/EventFormat.h"
#include "events/RecordView.h"
#include "mqtt/Payloads.h"
#include "plot/PlotData.h"
#include "support/OpenStore.h"
#include "support/ScratchDirectory.h"

namespace {

void Put(std::vector<unsigned char>& record, std::size_t offset, uint16_t word) {
  record[offset] = word & 0xFF;
  record[offset + 1] = word >> 8;
}

// A DO3008RA record whose input copies differ from its holding copies, so that a field read
// from the wrong copy shows.
std::vector<unsigned char> Do3008raRecord() {
  std::vector<unsigned char> record(do3008ra::kRecordLength, 0);
  Put(record, 0, 0x5678);  // data id
  Put(record, 2, 0x1234);
  for (std::size_t offset = 4; offset < 12; offset += 2) Put(record, offset, 1111);  // holding
  Put(record, 12, 456);     // input humidity (register 0)
  Put(record, 14, 0xFFCE);  // input temperature (register 1): -5.0, signed
  Put(record, 16, 999);     // input register 2: not a field
  Put(record, 18, 10132);   // input pressure (register 3)
  for (std::size_t offset = 20; offset < 26; offset += 2) Put(record, offset, 2222);  // holding
  Put(record, 26, 15);      // input temperature calibration (register 80)
  Put(record, 28, 0xFFFB);  // input humidity calibration (register 81): -0.5, signed
  Put(record, 30, 35);      // input pressure calibration (register 82)
  Put(record, 32, 3333);    // holding bus copies
  Put(record, 34, 3333);
  Put(record, 36, 9);  // input address (register 2000)
  Put(record, 38, 4);  // input baud code (register 2001): 38400
  // The stamp: year (little-endian), month, day, hour, minute, second.
  const unsigned char stamp[] = {0xEA, 0x07, 12, 6, 9, 5, 3};
  std::copy(std::begin(stamp), std::end(stamp), record.begin() + 40);
  return record;
}

const DeviceType& Do3008raType() {
  const DeviceType* type = DeviceTypeNamed(do3008ra::kDeviceType);
  EXPECT_NE(type, nullptr);
  return *type;
}

TEST(DeviceTypes, TheDo3008raIsKnownByItsNameAndByItsRecordLength) {
  const DeviceType& type = Do3008raType();
  EXPECT_EQ(type.name, "do3008ra");
  EXPECT_EQ(type.model, "DO3008RA");
  EXPECT_EQ(type.recordLength, 47u);
  EXPECT_EQ(DeviceTypeOfLength(47), &type);
  EXPECT_EQ(DeviceTypeNamed("do3008rb"), nullptr);
  EXPECT_EQ(DeviceTypeNamed(""), nullptr);
  EXPECT_EQ(DeviceTypeOfLength(46), nullptr);
  EXPECT_EQ(DeviceTypeOfLength(0), nullptr);
}

// The fields in the order of the store's columns and the CSV, each with what it is.
TEST(DeviceTypes, TheDo3008raFieldsAreTheStoreColumnsInOrder) {
  const DeviceType& type = Do3008raType();
  std::vector<std::string> keys;
  for (const RecordField& field : type.fields) keys.push_back(field.key);
  EXPECT_EQ(keys, (std::vector<std::string>{"temperature", "humidity", "pressure",
                                            "temperature_calibration", "humidity_calibration",
                                            "pressure_calibration", "address", "baud_code"}));
  std::vector<std::string> measured;
  for (const RecordField* field : type.FieldsOf(FieldKind::kMeasured)) {
    measured.push_back(field->key + " " + field->unit + " " + field->signal);
  }
  EXPECT_EQ(measured, (std::vector<std::string>{"temperature °C 温度", "humidity %RH 湿度",
                                                "pressure hPa 气压"}));
  EXPECT_EQ(type.FieldsOf(FieldKind::kCalibration).size(), 3u);
  ASSERT_EQ(type.FieldsOf(FieldKind::kBusSetting).size(), 2u);
  for (const RecordField* field : type.FieldsOf(FieldKind::kBusSetting)) EXPECT_TRUE(field->whole);
  std::vector<std::string> columns;
  for (const HistoryColumn& column : HistoryColumns()) columns.push_back(column.key);
  EXPECT_EQ(columns, keys);
}

// Every field decodes the known record through the plug-in's own reading: the input copies,
// temperature and calibrations signed, in decimal tenths.
TEST(RecordView, EveryFieldOfTheDo3008raDecodesTheKnownRecord) {
  const DeviceType& type = Do3008raType();
  const std::vector<unsigned char> record = Do3008raRecord();
  const std::map<std::string, double> expected = {{"temperature", -5.0},
                                                  {"humidity", 45.6},
                                                  {"pressure", 1013.2},
                                                  {"temperature_calibration", 1.5},
                                                  {"humidity_calibration", -0.5},
                                                  {"pressure_calibration", 3.5},
                                                  {"address", 9},
                                                  {"baud_code", 4}};
  for (const RecordField& field : type.fields) {
    ASSERT_EQ(expected.count(field.key), 1u) << field.key;
    EXPECT_EQ(field.value(record.data()), expected.at(field.key)) << field.key;
  }
  const auto decoded = DecodeRecord(&type, record.data(), record.size());
  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ(decoded->type, &type);
  ASSERT_EQ(decoded->values.size(), type.fields.size());
  for (std::size_t i = 0; i < type.fields.size(); ++i) {
    EXPECT_EQ(decoded->values[i], expected.at(type.fields[i].key)) << type.fields[i].key;
    EXPECT_EQ(decoded->Value(type.fields[i].key), expected.at(type.fields[i].key));
  }
  EXPECT_FALSE(decoded->Value("co2").has_value());
  EXPECT_EQ(decoded->recordTime, "2026-12-06T09:05:03");
  // A stored record, known only by its bytes, reads the same by its length.
  const auto stored = DecodeRecord(record.data(), record.size());
  ASSERT_TRUE(stored.has_value());
  EXPECT_EQ(stored->type, &type);
  EXPECT_EQ(stored->values, decoded->values);
}

TEST(RecordView, NoTypeOrAnotherLengthGivesNothing) {
  const DeviceType& type = Do3008raType();
  std::vector<unsigned char> record = Do3008raRecord();
  EXPECT_FALSE(DecodeRecord(nullptr, record.data(), record.size()).has_value());
  EXPECT_FALSE(DecodeRecord(&type, record.data(), 46).has_value());
  EXPECT_FALSE(DecodeRecord(&type, nullptr, record.size()).has_value());
  record.push_back(0);
  EXPECT_FALSE(DecodeRecord(&type, record.data(), record.size()).has_value());
  EXPECT_FALSE(DecodeRecord(record.data(), record.size()).has_value());
  EXPECT_FALSE(DecodeRecord(record.data(), 0).has_value());

  // What the host shows for such a record: no values anywhere.
  CycleEvent cycle{12, record, std::nullopt, 0};
  EXPECT_EQ(EventLine(cycle), "cycle    12    record of another layout  alarms 0");
  const auto json = EventObject(cycle);
  ASSERT_TRUE(json.has_value());
  EXPECT_EQ(CompactJson(*json), R"({"alarms_active":0,"data_id":12,"event":"cycle"})");
  MqttConfig mqtt;
  EXPECT_EQ(StateMessage(mqtt, cycle, 0).payload.find("temperature"), std::string::npos);
}

// MQTT publishes the speed of the baud code, null for a code the sensor does not define; the
// CSV and the store keep the code.
TEST(RecordView, TheBaudCodeIsPublishedAsItsRate) {
  const DeviceType& type = Do3008raType();
  std::vector<unsigned char> record = Do3008raRecord();
  MqttConfig mqtt;
  const auto state = [&] {
    CycleEvent cycle{12, record, DecodeRecord(&type, record.data(), record.size()), 1};
    return StateMessage(mqtt, cycle, 0).payload;
  };
  EXPECT_NE(state().find(R"("address":9,"alarms_active":1,"baud_rate":38400,)"), std::string::npos)
      << state();
  Put(record, 38, 9);
  EXPECT_NE(state().find(R"("baud_rate":null,)"), std::string::npos) << state();
}

// MQTT carries the figures the console shows (9.6, not 9.5999999999999996), for the record's
// values and the alarm's value text alike.
TEST(RecordView, MqttNumbersAreTheDecimalFiguresPeopleRead) {
  const DeviceType& type = Do3008raType();
  std::vector<unsigned char> record = Do3008raRecord();
  Put(record, 14, 96);
  MqttConfig mqtt;
  const CycleEvent cycle{12, record, DecodeRecord(&type, record.data(), record.size()), 0};
  EXPECT_NE(StateMessage(mqtt, cycle, 0).payload.find(R"("temperature":9.6,)"), std::string::npos)
      << StateMessage(mqtt, cycle, 0).payload;
  AlarmEvent alarm{12, "2026-12-08 09:14:05", "T01001", "温度", 2, false, "27.2999992", ""};
  EXPECT_NE(AlarmMessage(mqtt, alarm).payload.find(R"("value":27.3})"), std::string::npos)
      << AlarmMessage(mqtt, alarm).payload;
}

// The state payload is written without jsoncpp, every cycle: it must stay the text jsoncpp writes
// for the state object, over the whole range of every field (whole figures get their ".0").
TEST(RecordView, TheStatePayloadIsTheTextOfTheStateObject) {
  const DeviceType& type = Do3008raType();
  std::vector<unsigned char> record = Do3008raRecord();
  MqttConfig mqtt;
  int compared = 0;
  for (int raw = -32768; raw < 32768; raw += 7) {
    const auto word = static_cast<uint16_t>(raw);
    for (std::size_t offset : {12, 14, 18, 26, 28, 30}) Put(record, offset, word);
    Put(record, 36, word % 300);
    Put(record, 38, word % 12);
    const CycleEvent cycle{12, record, DecodeRecord(&type, record.data(), record.size()),
                           static_cast<std::size_t>(word % 5)};
    const std::time_t time = 1796700000 + raw;
    ASSERT_EQ(StateMessage(mqtt, cycle, time).payload, CompactJson(StateJson(cycle, time), false));
    ++compared;
  }
  const CycleEvent unknown{12, record, std::nullopt, 0};
  EXPECT_EQ(StateMessage(mqtt, unknown, 0).payload, CompactJson(StateJson(unknown, 0), false));
  EXPECT_GT(compared, 9000);
}

// A second model: its plug-in's record and one entry. The console line, the JSON event, the
// MQTT state and Home Assistant discovery come from the same loops.
TEST(RecordView, AnotherTypeGoesThroughTheSameLoops) {
  DeviceType other;
  other.name = "co2meter";
  other.model = "CO2-1";
  other.recordLength = 4;
  other.recordTime = [](const unsigned char*) { return std::string("2026-01-02T03:04:05"); };
  other.fields = {
      {"co2", "CO2", "ppm", FieldKind::kMeasured, true,
       [](const unsigned char* r) { return static_cast<double>(r[0] | r[1] << 8); }, "",
       "carbon_dioxide", "ppm", "", nullptr},
      {"temperature", "Temperature", "°C", FieldKind::kMeasured, false,
       [](const unsigned char* r) { return static_cast<int16_t>(r[2] | r[3] << 8) / 10.0; }, "", "",
       "", "", nullptr},
  };
  const std::vector<unsigned char> record = {0x9C, 0x01, 0xD7, 0x00};  // 412 ppm, 21.5 °C
  const auto values = DecodeRecord(&other, record.data(), record.size());
  ASSERT_TRUE(values.has_value());
  const CycleEvent cycle{7, record, values, 0};
  EXPECT_EQ(EventLine(cycle), "cycle    7     co2 412  temperature 21.5  alarms 0");
  EXPECT_EQ(CompactJson(*EventObject(cycle)),
            R"({"alarms_active":0,"co2":412,"data_id":7,"event":"cycle",)"
            R"("record_time":"2026-01-02T03:04:05","temperature":21.5})");
  MqttConfig mqtt;
  EXPECT_EQ(StateMessage(mqtt, cycle, 0).payload.substr(0, 50),
            R"({"alarms_active":0,"co2":412,"temperature":21.5,"t)");
  const auto discovery = SensorDiscovery(mqtt, 7, other);
  ASSERT_EQ(discovery.size(), 1u);  // only the field with a Home Assistant class
  EXPECT_EQ(discovery[0].topic, "homeassistant/sensor/do3008ra/7_co2/config");
  EXPECT_NE(discovery[0].payload.find(R"("model":"CO2-1","name":"CO2-1 7")"), std::string::npos)
      << discovery[0].payload;

  // The store would give it a column for each new key, after the DO3008RA's.
  std::vector<std::string> columns;
  for (const HistoryColumn& column : HistoryColumns({Do3008raType(), other})) {
    columns.push_back(column.key + (column.whole ? " INTEGER" : " REAL"));
  }
  EXPECT_EQ(columns.size(), 9u);
  EXPECT_EQ(columns.front(), "temperature REAL");
  EXPECT_EQ(columns.back(), "co2 INTEGER");
}

// A database made before a field was known gets its column when the host opens it to write;
// the rows it has keep NULL there.
TEST(RecordStore, AMissingFieldColumnIsAddedAndFilled) {
  ScratchDirectory dir;
  const std::string path = dir.Path("old.db");
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db,
                         "CREATE TABLE history (id INTEGER PRIMARY KEY, data_id INTEGER NOT NULL, "
                         "time TEXT NOT NULL, record BLOB NOT NULL, temperature REAL);"
                         "INSERT INTO history (data_id, time, record, temperature) "
                         "VALUES (12, '2026-12-06 09:05:02', x'00', 1.0);",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  const std::vector<unsigned char> record = Do3008raRecord();
  {
    OpenStore store(path, true);
    store.writer.AddHistory(12, "2026-12-06 09:05:03", record.data(),
                            static_cast<unsigned>(record.size()));
  }
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  std::vector<std::string> rows;
  sqlite3_exec(
      db, "SELECT quote(temperature), quote(humidity), quote(baud_code) FROM history ORDER BY id",
      [](void* out, int, char** values, char**) {
        static_cast<std::vector<std::string>*>(out)->push_back(std::string(values[0]) + " " +
                                                               values[1] + " " + values[2]);
        return 0;
      },
      &rows, nullptr);
  sqlite3_close(db);
  EXPECT_EQ(rows, (std::vector<std::string>{"1.0 NULL NULL", "-5.0 45.6 4"}));
}

// A plot of records of no known type has no curves; one that has records of a known type too
// draws those, whatever came after them.
TEST(RecordStore, RecordsOfNoKnownTypePlotNothing) {
  ScratchDirectory dir;
  const std::string path = dir.Path("foreign.db");
  OpenStore store(path, true);
  const std::vector<unsigned char> foreign(12, 1);
  store.writer.AddHistory(12, "2026-12-06 09:05:03", foreign.data(), 12);
  const PlotSpan span{"2026-12-06 09:05:01", "2026-12-06 09:05:03"};
  const auto read = [&] {
    return ReadPlotSeries(store.reader, 12, {}, span, 100, 3, [](long long) {});
  };
  const PlotSeries none = read();
  EXPECT_EQ(none.type, nullptr);
  EXPECT_TRUE(none.curves.empty());
  EXPECT_EQ(none.samples, 0);

  const std::vector<unsigned char> record = Do3008raRecord();
  store.writer.AddHistory(12, "2026-12-06 09:05:01", record.data(),
                          static_cast<unsigned>(record.size()));
  const PlotSeries some = read();
  EXPECT_EQ(some.type, &Do3008raType());
  ASSERT_EQ(some.curves.size(), 3u);
  EXPECT_EQ(some.samples, 1);
  ASSERT_EQ(some.curves[2].points.size(), 1u);
  EXPECT_EQ(some.curves[2].field->key, "pressure");
  EXPECT_EQ(some.curves[2].points[0].value, 1013.2);
}

}  // namespace

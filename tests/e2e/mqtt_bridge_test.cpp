// SPDX-License-Identifier: Apache-2.0
// The MQTT bridge against a real mosquitto broker started by each test on its own port: what a
// subscriber and Home Assistant see, the broker going away and coming back, a host that dies,
// and a broker that refuses the host's password.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <json/reader.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "Bench.h"
#include "Broker.h"
#include "Subscriber.h"
#include "Text.h"
#include "Wait.h"
#include "config/HostConfig.h"
#include "mqtt/MessageQueue.h"

namespace {

using namespace std::chrono_literals;

// The bench's configuration with an "mqtt" member added.
std::string MqttConfig(const Bench& bench, const std::string& mqtt, const std::string& settings,
                       int pollIntervalMs) {
  const std::string path = bench.Config(settings, pollIntervalMs);
  const std::string text = ReadFile(path);
  bench.dir.Write("host.json", "{\"mqtt\": " + mqtt + ", " + text.substr(1));
  return path;
}

std::string Anonymous(const Broker& broker, const std::string& more = "") {
  return R"({"host": "127.0.0.1", "port": )" + std::to_string(broker.Port()) +
         R"(, "clientId": "bench")" + more + "}";
}

long long HistoryCount(const Bench& bench) {
  return QueryCount(bench.Database(), "SELECT COUNT(*) FROM history");
}

// The keys Home Assistant documents for the MQTT sensor and binary sensor discovery, and the
// units each device class accepts.
const std::set<std::string> kEntityKeys = {"name",
                                           "unique_id",
                                           "state_topic",
                                           "value_template",
                                           "device_class",
                                           "unit_of_measurement",
                                           "state_class",
                                           "availability_topic",
                                           "payload_available",
                                           "payload_not_available",
                                           "expire_after",
                                           "device",
                                           "payload_on",
                                           "payload_off"};
const std::set<std::string> kDeviceKeys = {"identifiers", "name", "manufacturer", "model",
                                           "sw_version"};
const std::map<std::string, std::string> kSensorUnits = {
    {"temperature", "°C"}, {"humidity", "%"}, {"atmospheric_pressure", "hPa"}};

// Letters, digits, "_" and "-": what Home Assistant accepts in a discovery topic's ids.
bool IsTopicId(const std::string& part) {
  return !part.empty() && std::all_of(part.begin(), part.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_' || c == '-';
  });
}

// homeassistant/<sensor|binary_sensor>/<node id>/<object id>/config
bool IsDiscoveryTopic(const std::string& topic) {
  std::vector<std::string> parts;
  std::stringstream stream(topic);
  for (std::string part; std::getline(stream, part, '/');) parts.push_back(part);
  return parts.size() == 5 && parts[0] == "homeassistant" &&
         (parts[1] == "sensor" || parts[1] == "binary_sensor") && IsTopicId(parts[2]) &&
         IsTopicId(parts[3]) && parts[4] == "config";
}

// "2026-12-08T01:49:28"
bool IsIsoTime(const std::string& text) {
  if (text.size() != 19) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char expected = i == 4 || i == 7 ? '-' : i == 10 ? 'T' : i == 13 || i == 16 ? ':' : '0';
    if (expected == '0' ? std::isdigit(static_cast<unsigned char>(text[i])) == 0
                        : text[i] != expected) {
      return false;
    }
  }
  return true;
}

// The member a "{{ value_json.NAME }}" template reads; empty for any other template.
std::string TemplateMember(const std::string& value_template) {
  const std::string head = "{{ value_json.";
  const std::string tail = " }}";
  if (value_template.size() <= head.size() + tail.size() || value_template.rfind(head, 0) != 0 ||
      value_template.compare(value_template.size() - tail.size(), tail.size(), tail) != 0) {
    return {};
  }
  return value_template.substr(head.size(), value_template.size() - head.size() - tail.size());
}

// Checks one discovery message the way Home Assistant reads it; the entity's JSON.
Json::Value CheckDiscovery(const Received& message, const std::string& component) {
  EXPECT_TRUE(IsDiscoveryTopic(message.topic)) << message.topic;
  EXPECT_TRUE(message.retained) << message.topic;
  const Json::Value entity = JsonValue(message.payload);
  for (const std::string& key : entity.getMemberNames()) {
    EXPECT_EQ(kEntityKeys.count(key), 1u) << key << " in " << message.payload;
  }
  for (const char* key : {"name", "unique_id", "state_topic", "value_template", "device_class",
                          "availability_topic", "device"}) {
    EXPECT_TRUE(entity.isMember(key)) << key << " missing in " << message.payload;
  }
  for (const std::string& key : entity["device"].getMemberNames()) {
    EXPECT_EQ(kDeviceKeys.count(key), 1u) << "device." << key;
  }
  EXPECT_TRUE(entity["device"]["identifiers"].isArray() &&
              entity["device"]["identifiers"].size() == 1);
  EXPECT_EQ(entity["availability_topic"].asString(), "do3008ra/12/availability");
  EXPECT_EQ(entity["payload_available"].asString(), "online");
  EXPECT_EQ(entity["payload_not_available"].asString(), "offline");
  if (component == "sensor") {
    const std::string deviceClass = entity["device_class"].asString();
    EXPECT_EQ(kSensorUnits.count(deviceClass), 1u) << deviceClass;
    if (kSensorUnits.count(deviceClass) == 1) {
      EXPECT_EQ(entity["unit_of_measurement"].asString(), kSensorUnits.at(deviceClass));
    }
    EXPECT_EQ(entity["state_class"].asString(), "measurement");
    EXPECT_EQ(entity["state_topic"].asString(), "do3008ra/12/state");
  } else {
    EXPECT_EQ(entity["device_class"].asString(), "problem");
    EXPECT_EQ(entity["payload_on"].asString(), "ON");
    EXPECT_EQ(entity["payload_off"].asString(), "OFF");
    EXPECT_EQ(entity["value_template"].asString(), "{{ 'ON' if value_json.active else 'OFF' }}");
  }
  return entity;
}

TEST(MqttBridge, StateAlarmsAndDiscoveryReachLiveAndLateSubscribers) {
  Bench bench;
  Broker broker(bench.dir);
  Subscriber live(broker.Port());
  // 24 -> 33 -> 24 in 4 s: the 28 limit is crossed up, then the value falls below 27 again.
  bench.StartSensor({"--temperature", "24:33:4", "--set", "i:2000=5", "--set", "i:2001=3"});
  const std::string config = MqttConfig(bench, Anonymous(broker, R"(, "homeAssistant": true)"),
                                        Mode5Settings(28, 27), 100);
  const auto run = bench.Host({"run", "--cycles", "55", config});
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("mqtt     12    connected to 127.0.0.1:" + std::to_string(broker.Port())),
            std::string::npos)
      << run.out;

  // Every cycle's state, with the values as the history keeps them.
  std::vector<Json::Value> states;
  for (const Received& message : live.Messages()) {
    if (message.topic == "do3008ra/12/state") states.push_back(JsonValue(message.payload));
  }
  EXPECT_GE(states.size(), 50u) << run.out;
  ASSERT_FALSE(states.empty());
  const Json::Value& last = states.back();
  const auto stored = QueryRows(bench.Database(),
                                "SELECT temperature, humidity, pressure, temperature_calibration "
                                "FROM history ORDER BY id DESC LIMIT 1");
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_DOUBLE_EQ(last["temperature"].asDouble(), std::stod(stored[0][0]));
  EXPECT_DOUBLE_EQ(last["humidity"].asDouble(), std::stod(stored[0][1]));
  EXPECT_DOUBLE_EQ(last["pressure"].asDouble(), std::stod(stored[0][2]));
  EXPECT_DOUBLE_EQ(last["temperature_calibration"].asDouble(), std::stod(stored[0][3]));
  EXPECT_EQ(last["address"].asInt(), 5);
  EXPECT_EQ(last["baud_rate"].asInt(), 19200);  // code 3
  EXPECT_TRUE(IsIsoTime(last["time"].asString())) << last["time"].asString();
  EXPECT_TRUE(last["alarms_active"].isUInt());

  // The rule's state from the first evaluation on, then the alarm raised and cleared, each as its
  // own retained message. The first evaluation is the first cycle's: on a slow start the ramp,
  // timed from the simulator's start, may already be above the limit there (the rule's state is
  // then active, followed by the raise).
  std::vector<Json::Value> alarms;
  for (const Received& message : live.Messages()) {
    if (message.topic == "do3008ra/12/alarm/T01001") alarms.push_back(JsonValue(message.payload));
  }
  ASSERT_FALSE(alarms.empty()) << run.out;
  const auto first =
      QueryRows(bench.Database(), "SELECT temperature FROM history ORDER BY id LIMIT 1");
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(alarms[0]["active"].asBool(), std::stod(first[0][0]) >= 28.0) << first[0][0];
  const auto active = [](const Json::Value& a) { return a["active"].asBool(); };
  const auto raised = std::find_if(alarms.begin(), alarms.end(), active);
  ASSERT_NE(raised, alarms.end()) << run.out;
  EXPECT_EQ((*raised)["level"].asInt(), 2);
  EXPECT_EQ((*raised)["signal"].asString(), "温度");
  EXPECT_GE((*raised)["value"].asDouble(), 28.0);
  EXPECT_EQ((*raised)["text"].asString().rfind("当前值", 0), 0u) << (*raised)["text"].asString();
  const auto cleared = std::find_if_not(raised, alarms.end(), active);
  ASSERT_NE(cleared, alarms.end()) << run.out;
  EXPECT_LE((*cleared)["value"].asDouble(), 27.0);

  // The counts of the run are shown and kept.
  EXPECT_NE(run.out.find("dropped 0  superseded"), std::string::npos) << run.out;
  const auto summary =
      QueryRows(bench.Database(), "SELECT data_id, published, dropped FROM mqtt_summaries");
  ASSERT_EQ(summary.size(), 1u);
  EXPECT_EQ(summary[0][0], "12");
  EXPECT_GE(std::stoll(summary[0][1]), 50);
  EXPECT_EQ(summary[0][2], "0");

  // A subscriber that comes after the host stopped still gets the retained picture.
  Subscriber late(broker.Port());
  const auto state = late.WaitFor("do3008ra/12/state", 5s);
  ASSERT_TRUE(state);
  EXPECT_TRUE(state->retained);
  EXPECT_EQ(JsonValue(state->payload), last);
  const auto alarm = late.WaitFor("do3008ra/12/alarm/T01001", 5s);
  ASSERT_TRUE(alarm);
  EXPECT_TRUE(alarm->retained);
  EXPECT_EQ(JsonValue(alarm->payload), alarms.back());  // the last change, raised or cleared
  const auto availability = late.WaitFor("do3008ra/12/availability", 5s);
  ASSERT_TRUE(availability);
  EXPECT_EQ(availability->payload, "offline");  // the host stopped

  // Discovery: three sensors and the alarm, all on one device, each with its own unique_id.
  ASSERT_TRUE(late.WaitFor("homeassistant/binary_sensor/do3008ra/12_alarm_T01001/config", 5s));
  std::set<std::string> uniqueIds;
  std::set<std::string> sensorClasses;
  for (const Received& message : late.Messages()) {
    if (message.topic.rfind("homeassistant/", 0) != 0) continue;
    const std::string component =
        message.topic.rfind("homeassistant/sensor/", 0) == 0 ? "sensor" : "binary_sensor";
    const Json::Value entity = CheckDiscovery(message, component);
    uniqueIds.insert(entity["unique_id"].asString());
    EXPECT_EQ(entity["device"]["identifiers"][0].asString(), "do3008ra_12");
    if (component == "sensor") {
      sensorClasses.insert(entity["device_class"].asString());
      // The template names a member the state really has.
      const std::string key = TemplateMember(entity["value_template"].asString());
      EXPECT_TRUE(last.isMember(key)) << entity["value_template"].asString();
    }
  }
  EXPECT_EQ(uniqueIds, (std::set<std::string>{"do3008ra_12_temperature", "do3008ra_12_humidity",
                                              "do3008ra_12_pressure", "do3008ra_12_alarm_T01001"}));
  EXPECT_EQ(sensorClasses.size(), 3u);
}

// Home Assistant shows a rule that never fired as OFF, not "Unknown": after the first cycle the
// broker holds a state and a named entity for every rule of the table.
TEST(MqttBridge, EveryRuleHasARetainedStateAndANamedEntityFromTheFirstCycle) {
  Bench bench;
  Broker broker(bench.dir);
  bench.StartSensor({"--temperature", "24:24:10", "--static"});
  const std::string settings = R"({"appSetting": {"b_mode": 5}, "thresholdSetting": {
      "temperature": {"ID": "T01", "SignalName": "温度", "UpValue": 30, "UpReconverValue": 28,
                      "UpAlarmLevel": 2, "LowValue": 5, "LowReconverValue": 7, "LowAlarmLevel": 1},
      "humidity": {"ID": "H01", "SignalName": "湿度", "UpValue": 80, "UpReconverValue": 75,
                   "UpAlarmLevel": 1}}})";
  const std::string config =
      MqttConfig(bench, Anonymous(broker, R"(, "homeAssistant": true)"), settings, 1000);
  const auto run = bench.Host({"run", "--cycles", "1", config});
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;

  Subscriber late(broker.Port());
  const std::map<std::string, std::string> names = {{"T01001", "Temperature high (T01001)"},
                                                    {"T01003", "Temperature low (T01003)"},
                                                    {"H01001", "Humidity high (H01001)"}};
  for (const auto& [alarmId, name] : names) {
    const auto state = late.WaitFor("do3008ra/12/alarm/" + alarmId, 5s);
    ASSERT_TRUE(state) << alarmId << run.out;
    EXPECT_TRUE(state->retained);
    EXPECT_FALSE(JsonValue(state->payload)["active"].asBool()) << state->payload;
    const auto entity =
        late.WaitFor("homeassistant/binary_sensor/do3008ra/12_alarm_" + alarmId + "/config", 5s);
    ASSERT_TRUE(entity) << alarmId;
    EXPECT_EQ(CheckDiscovery(*entity, "binary_sensor")["name"].asString(), name);
  }
}

TEST(MqttBridge, BrokerAwayForTenCyclesLosesNoRecordAndAKilledHostLeavesOffline) {
  Bench bench;
  Broker broker(bench.dir);
  Subscriber watcher(broker.Port());
  bench.StartSensor({"--static", "--temperature", "21.5"});
  const std::string config =
      MqttConfig(bench, Anonymous(broker, R"(, "homeAssistant": true)"), Mode5Settings(), 100);
  BackgroundProcess host(bench.HostCommand({"run", config}), bench.dir.Path("host.out"));
  ASSERT_TRUE(watcher.WaitFor("do3008ra/12/state", 15s)) << ReadFile(bench.dir.Path("host.out"));

  broker.Stop();
  const long long before = HistoryCount(bench);
  // Polling and storing go on without the broker.
  ASSERT_TRUE(WaitUntil("10 more cycles stored", 15s, [&] {
    return HistoryCount(bench) >= before + 10;
  })) << ReadFile(bench.dir.Path("host.out"));
  const std::size_t mark = watcher.Messages().size();
  broker.Start();

  // The host reconnects by itself and publishes its state again to a broker that kept nothing.
  const auto online = watcher.WaitFor(
      [](const Received& m) {
        return m.topic == "do3008ra/12/availability" && m.payload == "online";
      },
      20s, mark);
  ASSERT_TRUE(online) << ReadFile(bench.dir.Path("host.out"));
  ASSERT_TRUE(watcher.WaitFor("do3008ra/12/state", 10s, mark));
  const std::string out = ReadFile(bench.dir.Path("host.out"));
  EXPECT_EQ(CountOf(out, "mqtt     12    connected to"), 2u) << out;
  EXPECT_NE(out.find("mqtt     12    disconnected (connection lost)"), std::string::npos) << out;

  // Home Assistant restarting asks for the discovery again; other payloads there are ignored.
  const std::size_t beforeBirth = watcher.Messages().size();
  const auto publish = [&](const std::string& payload) {
    return RunProgram({"/usr/bin/mosquitto_pub", "-h", "127.0.0.1", "-p",
                       std::to_string(broker.Port()), "-t", "homeassistant/status", "-m", payload},
                      10s)
        .exitCode;
  };
  ASSERT_EQ(publish(""), 0);
  ASSERT_EQ(publish("offline"), 0);
  ASSERT_EQ(publish("online"), 0);
  EXPECT_TRUE(
      watcher.WaitFor("homeassistant/sensor/do3008ra/12_temperature/config", 10s, beforeBirth));

  // Every completed cycle is in the store: the cycles printed are the rows kept.
  const std::size_t printed = CountOf(ReadFile(bench.dir.Path("host.out")), "cycle    12");
  const long long stored = HistoryCount(bench);
  EXPECT_GE(stored + 1, static_cast<long long>(printed));
  EXPECT_LE(stored, static_cast<long long>(printed) + 1);

  // A host that dies without a word: the broker says offline for it (its last will).
  const std::size_t beforeKill = watcher.Messages().size();
  ASSERT_EQ(kill(host.Pid(), SIGKILL), 0);
  const auto offline = watcher.WaitFor(
      [](const Received& m) {
        return m.topic == "do3008ra/12/availability" && m.payload == "offline";
      },
      10s, beforeKill);
  EXPECT_TRUE(offline) << broker.Log();
}

// A broker away for longer than the queue holds: each cycle's state replaces the unsent one,
// so the alarm changes of the outage find room and nothing is dropped.
TEST(MqttBridge, BrokerAwayLongerThanTheQueueLimitSupersedesStatesAndDropsNothing) {
  Bench bench;
  Broker broker(bench.dir);
  Subscriber watcher(broker.Port());
  bench.StartSensor({"--temperature", "24:33:2"});
  const std::string config =
      MqttConfig(bench, Anonymous(broker, R"(, "queueLimit": 10)"), Mode5Settings(), 50);
  const std::string out = bench.dir.Path("host.out");
  BackgroundProcess host(bench.HostCommand({"run", config}), out);
  ASSERT_TRUE(watcher.WaitFor("do3008ra/12/state", 15s)) << ReadFile(out);

  broker.Stop();
  const long long before = HistoryCount(bench);
  ASSERT_TRUE(
      WaitUntil("30 more cycles stored", 15s, [&] { return HistoryCount(bench) >= before + 30; }));
  ASSERT_EQ(host.Stop(5000ms), 0) << ReadFile(out);

  const auto summary =
      QueryRows(bench.Database(), "SELECT dropped, superseded FROM mqtt_summaries");
  ASSERT_EQ(summary.size(), 1u) << ReadFile(out);
  EXPECT_EQ(summary[0][0], "0") << "dropped";
  EXPECT_GE(std::stoll(summary[0][1]), 10) << "superseded";
}

// Alarm changes are events: each one made while the broker is hung or gone reaches it, in order,
// once it is back (raise and clear share one retained topic, published again at connect). The
// subscriber's session outlives the broker's restarts: it misses nothing of the reconnect.
TEST(MqttBridge, EveryAlarmChangeMadeWhileTheBrokerIsAwayReachesItInOrder) {
  Bench bench;
  Broker broker(bench.dir, "allow_anonymous true\npersistence true\npersistence_location " +
                               bench.dir.Path() + "/\n");
  const auto watcher = Subscriber::Durable(broker.Port(), "alarm-watcher");
  // 24 -> 33 -> 24 every 4 s, the rules evaluated once a second: a raise and a clear each period.
  bench.StartSensor({"--temperature", "24:33:4"});
  const std::string config = MqttConfig(bench, Anonymous(broker, R"(, "qos": 1, "keepAliveS": 5)"),
                                        Mode5Settings(28, 27), 100);
  const std::string out = bench.dir.Path("host.out");
  BackgroundProcess host(bench.HostCommand({"run", config}), out);
  ASSERT_TRUE(watcher->WaitFor("do3008ra/12/alarm/T01001", 15s)) << ReadFile(out);
  const auto changes = [&] {
    return QueryRows(bench.Database(), "SELECT active, value_text FROM alarm_events ORDER BY id");
  };
  const auto connections = [&](long long count) {
    return WaitUntil("the host connected", 20s, [&] {
      return CountOf(ReadFile(out), "mqtt     12    connected to") >= count;
    });
  };
  broker.Stop();  // its file now keeps the watcher's session, for a start after a crash
  broker.Start();
  ASSERT_TRUE(connections(2)) << ReadFile(out);
  // A broker that hangs, then dies: the changes sent to it meanwhile were never acknowledged.
  ASSERT_EQ(kill(broker.Pid(), SIGSTOP), 0);
  const std::size_t before = changes().size();
  ASSERT_TRUE(WaitUntil("4 alarm changes stored", 20s, [&] {
    return changes().size() >= before + 4;
  })) << ReadFile(out);
  ASSERT_EQ(kill(broker.Pid(), SIGKILL), 0);
  broker.Stop();
  broker.Start();
  ASSERT_TRUE(connections(3)) << ReadFile(out);
  ASSERT_EQ(host.Stop(10000ms), 0) << ReadFile(out);

  // Each change once, in the stored order, after the rule's first state (the one published again
  // at connect repeats its payload).
  std::vector<std::string> stored;
  for (const auto& row : changes()) stored.push_back(row[0] + std::to_string(std::stof(row[1])));
  const auto receivedInOrder = [&] {
    std::vector<std::string> published;
    for (const Received& m : watcher->Messages()) {
      if (m.topic != "do3008ra/12/alarm/T01001" || m.retained) continue;
      const Json::Value alarm = JsonValue(m.payload);
      const std::string change =
          (alarm["active"].asBool() ? "1" : "0") + std::to_string(alarm["value"].asFloat());
      if (published.empty() || published.back() != change) published.push_back(change);
    }
    // At most the rule's first state before them.
    return published.size() - stored.size() <= 1 &&
           std::equal(stored.rbegin(), stored.rend(), published.rbegin());
  };
  EXPECT_TRUE(WaitUntil("every stored change received", 10s, receivedInOrder)) << ReadFile(out);
}

TEST(MqttBridge, AWrongPasswordIsOneClearLineAndTheHostKeepsPollingThenTheRightOnePublishes) {
  Bench bench;
  const std::string passwords = bench.dir.Path("broker.passwords");
  AddBrokerUser(passwords, "devhost", "right-password");
  AddBrokerUser(passwords, "reader", "reader-password");
  bench.dir.Write("broker.acl",
                  "user devhost\ntopic write do3008ra/#\n\nuser reader\ntopic read #\n");
  Broker broker(bench.dir, "allow_anonymous false\npassword_file " + passwords + "\nacl_file " +
                               bench.dir.Path("broker.acl") + "\n");
  Subscriber reader(broker.Port(), "reader", "reader-password");
  bench.StartSensor({"--static", "--temperature", "23.4"});

  bench.dir.Write("wrong.secret", "not-the-password\n");
  // A secret others may read is refused before the start.
  chmod(bench.dir.Path("wrong.secret").c_str(), 0600);
  const std::string wrong = MqttConfig(
      bench, Anonymous(broker, R"(, "username": "devhost", "passwordFile": "wrong.secret")"),
      Mode5Settings(), 100);
  const auto refused = bench.Host({"run", "--cycles", "30", wrong});
  ASSERT_EQ(refused.exitCode, 0) << refused.out << refused.err;
  EXPECT_EQ(HistoryCount(bench), 30);
  EXPECT_EQ(CountOf(refused.out,
                    "mqtt     12    disconnected (refused by the broker: not "
                    "authorised)"),
            1u)
      << refused.out;
  EXPECT_EQ(CountOf(refused.out, "mqtt     12    "), 2u) << refused.out;  // and the summary
  EXPECT_EQ(refused.out.find("right-password"), std::string::npos);

  // The right password: published under the host's prefix, reports included (rule-file mode).
  bench.dir.Write("right.secret", "right-password\n");
  chmod(bench.dir.Path("right.secret").c_str(), 0600);
  std::filesystem::create_directories(bench.dir.Path("ini"));
  bench.dir.Write("ini/12.ini",
                  "[AI]\n温度 = 010010010,Temperature\n[ALARM]\n温度 = 010010011,high\n");
  bench.dir.Write(
      "mode1.json",
      R"({"workDir": ".", "mqtt": )" +
          Anonymous(broker, R"(, "username": "devhost", "passwordFile": "right.secret")") +
          R"(, "lines": [{"device": ")" + bench.dir.Path("tty") +
          R"(", "pollIntervalMs": 100, "responseTimeoutMs": 1000,
      "devices": [{"plugin": "do3008ra.so", "dataId": 12, "settings": {"appSetting": {"b_mode": 1}},
      "reports": {"010010010": {"absThreshold": 0.5}}}]}]})");
  const auto accepted = bench.Host({"run", "--cycles", "3", bench.dir.Path("mode1.json")});
  ASSERT_EQ(accepted.exitCode, 0) << accepted.out << accepted.err;
  EXPECT_NE(accepted.out.find("mqtt     12    connected"), std::string::npos) << accepted.out;
  const auto report = reader.WaitFor("do3008ra/12/report/010010010", 5s);
  ASSERT_TRUE(report) << accepted.out;
  EXPECT_DOUBLE_EQ(JsonValue(report->payload)["value"].asDouble(), 23.4);
  EXPECT_FALSE(report->retained);
  EXPECT_TRUE(reader.WaitFor("do3008ra/12/state", 5s));
}

// A port where nothing listens: the connect the first attempt began is refused later, on the
// network thread, and that is said once however often the bridge tries again.
TEST(MqttBridge, ARefusedConnectionIsOneClearLine) {
  Bench bench;
  const int closed = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  // Bound, never listening: the port stays this test's, and every connect to it is refused.
  ASSERT_EQ(bind(closed, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(getsockname(closed, reinterpret_cast<sockaddr*>(&address), &size), 0);
  bench.StartSensor({"--static"});
  const std::string config = MqttConfig(bench,
                                        R"({"host": "127.0.0.1", "clientId": "bench", "port": )" +
                                            std::to_string(ntohs(address.sin_port)) + "}",
                                        Mode5Settings(), 100);
  const auto run = bench.Host({"run", "--cycles", "20", config});
  close(closed);
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_EQ(CountOf(run.out, "mqtt     12    disconnected (cannot connect: Connection refused)"),
            1u)
      << run.out;
}

// A broker address that drops packets, as a firewall would: a listener whose accept queue is
// full (backlog 1, never accepting), so the kernel drops every later SYN and a connect hangs in
// its retries for minutes. The listener and its fillers stay open while the object lives.
class DroppingBroker {
 public:
  DroppingBroker() {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener_, 1) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
      throw std::runtime_error("cannot make the dropping listener");
    }
    port_ = ntohs(address.sin_port);
    for (int& filler : fillers_) {
      filler = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
      connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
  }
  ~DroppingBroker() {
    for (int fd : fillers_) close(fd);
    close(listener_);
  }
  int Port() const { return port_; }

 private:
  int listener_ = -1;
  int fillers_[8] = {};
  int port_ = 0;
};

// Stopping never waits for the TCP connect (nor the keep-alive, 60 s, that would end it): the
// bridge's threads give up within about a second whatever the broker does.
TEST(MqttBridge, SigtermEndsTheHostPromptlyWhileTheBrokerDropsEveryPacket) {
  Bench bench;
  DroppingBroker broker;
  bench.StartSensor({"--static"});
  const std::string config = MqttConfig(bench,
                                        R"({"host": "127.0.0.1", "clientId": "bench", "port": )" +
                                            std::to_string(broker.Port()) + "}",
                                        Mode5Settings(), 100);
  const std::string out = bench.dir.Path("host.out");
  BackgroundProcess host(bench.HostCommand({"run", config}), out);
  ASSERT_TRUE(WaitForText(out, "cycle    12", 15s, 5)) << ReadFile(out);
  const auto asked = std::chrono::steady_clock::now();
  // A generous bound: the point is seconds, not the TCP connect's minutes.
  EXPECT_EQ(host.Stop(10000ms), 0) << ReadFile(out);
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - asked);
  RecordProperty("stop_ms", static_cast<int>(took.count()));
  std::printf("stopped %lld ms after SIGTERM\n", static_cast<long long>(took.count()));
  EXPECT_NE(ReadFile(out).find("mqtt     12    published 0"), std::string::npos) << ReadFile(out);
}

// Bad "mqtt" members are refused before anything starts, naming the file and the member.
TEST(MqttBridge, ConfigurationNamesTheFileAndMemberOfABadValue) {
  TempDir dir;
  dir.Write("secret", "s3cret\r\nsecond line\n");
  const std::string path = dir.Path("host.json");
  const auto parse = [&](const std::string& mqtt) {
    return ParseHostConfig(R"({"mqtt": )" + mqtt +
                               R"(, "lines": [{"device": "/dev/null", "devices": [
                               {"plugin": "p.so", "dataId": 1}]}]})",
                           path, {});
  };
  const auto refusal = [&](const std::string& mqtt) {
    try {
      parse(mqtt);
    } catch (const ConfigError& error) {
      return std::string(error.what());
    }
    return std::string("accepted");
  };
  const std::string head = "configuration " + path + ": mqtt.";
  EXPECT_EQ(refusal(R"({"password": "x"})").rfind(head + "password: is not taken inline", 0), 0u);
  EXPECT_EQ(refusal(R"({"prefix": "a/#"})").rfind(head + "prefix: ", 0), 0u);
  EXPECT_EQ(refusal(R"({"prefix": "/a"})").rfind(head + "prefix: ", 0), 0u);
  // The broker refuses control characters in a topic (the run ended at its first connect).
  EXPECT_EQ(refusal(R"({"prefix": "site\u0001"})").rfind(head + "prefix: ", 0), 0u);
  EXPECT_EQ(refusal(R"({"discoveryPrefix": "ha\u0085"})").rfind(head + "discoveryPrefix: ", 0), 0u);
  EXPECT_EQ(refusal(R"({"qos": 3})"), head + "qos: must be a whole number from 0 to 2");
  EXPECT_EQ(refusal(R"({"port": "x"})").rfind(head + "port: ", 0), 0u);
  EXPECT_EQ(refusal(R"({"clientId": "a b"})").rfind(head + "clientId: ", 0), 0u);
  EXPECT_EQ(refusal(R"({"homeAssistant": "yes"})"), head + "homeAssistant: must be true or false");
  EXPECT_EQ(refusal(R"({"passwordFile": "secret"})"), head + "passwordFile: needs a username");
  EXPECT_EQ(refusal(R"({"caFile": "ca.pem", "certFile": "c.pem"})"),
            head + "keyFile: certFile and keyFile go together");
  EXPECT_EQ(refusal(R"("broker")"), "configuration " + path + ": mqtt: must be an object");

  const HostConfig plain = parse("{}");
  ASSERT_TRUE(plain.mqtt);
  EXPECT_EQ(plain.mqtt->prefix, "do3008ra");
  EXPECT_EQ(plain.mqtt->port, 1883);
  EXPECT_FALSE(plain.mqtt->clientId.empty());
  HostConfig full =
      parse(R"({"username": "u", "passwordFile": "secret", "caFile": "ca.pem", "qos": 1})");
  EXPECT_EQ(full.mqtt->password, "");  // read by the running host only
  EXPECT_EQ(full.mqtt->port, 8883);    // TLS
  EXPECT_EQ(full.mqtt->caFile, dir.Path("ca.pem"));
  EXPECT_FALSE(ParseHostConfig(R"({"lines": [{"device": "/dev/null", "devices": [
      {"plugin": "p.so", "dataId": 1}]}]})",
                               path, {})
                   .mqtt);
}

// The unsent queue: a newer state replaces the unsent one in place, the oldest goes when full,
// and what is published again at connect goes first and replaces older states on its topics; an
// alarm change queued stays where it is (its retained value is the last of them).
TEST(MqttBridge, UnsentQueueSupersedesStatesAndDropsTheOldestWhenFull) {
  MessageQueue queue(3);
  queue.Push({"p/12/state", "1", true, true});
  queue.Push({"p/12/report/a", "r1", false, false});
  queue.Push({"p/12/state", "2", true, true});
  EXPECT_EQ(queue.Size(), 2u);
  EXPECT_EQ(queue.Superseded(), 1u);
  queue.Push({"p/12/alarm/x", "raised", true, false});
  queue.Push({"p/12/report/a", "r2", false, false});
  EXPECT_EQ(queue.Dropped(), 1u);  // the state, oldest, went
  queue.PutFirst(
      {{"p/12/availability", "online", true, true}, {"p/12/alarm/x", "raised", true, false}});
  std::vector<std::string> order;
  while (auto message = queue.Pop()) order.push_back(message->topic + "=" + message->payload);
  // Over the limit again: the oldest after the ones put first goes.
  EXPECT_EQ(queue.Dropped(), 2u);
  EXPECT_EQ(order, (std::vector<std::string>{"p/12/availability=online", "p/12/alarm/x=raised",
                                             "p/12/report/a=r2"}));
}

}  // namespace

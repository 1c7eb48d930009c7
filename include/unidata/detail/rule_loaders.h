#pragma once
// Loaders that fill the alarm and threshold tables of UniDataDevice.

template <class Record, class Protocol, int Code>
void UniDataDevice<Record, Protocol, Code>::LoadRuleFile(const std::string& path) {
  (void)path;
}

template <class Record, class Protocol, int Code>
void UniDataDevice<Record, Protocol, Code>::LoadIdentityTables(const Json::Value& settings) {
  (void)settings;
}

template <class Record, class Protocol, int Code>
void UniDataDevice<Record, Protocol, Code>::LoadThresholdRules(const Json::Value& settings) {
  (void)settings;
}

template <class Record, class Protocol, int Code>
void UniDataDevice<Record, Protocol, Code>::BuildThresholdRule(
    const Json::Value& member, const std::string& signalName, const std::string& id,
    const char* valueKey, const char* recoverKey, const char* levelKey, const char* levelCode,
    ThresholdMap& table) {
  (void)member;
  (void)signalName;
  (void)id;
  (void)valueKey;
  (void)recoverKey;
  (void)levelKey;
  (void)levelCode;
  (void)table;
}

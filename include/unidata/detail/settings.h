#pragma once
// The configuration step of UniDataDevice: mode and rule-file lookup.

template <class Record, class Protocol, int Code>
int UniDataDevice<Record, Protocol, Code>::InitSetting(const Json::Value& settings) {
  data_.dataId = this->DataId();
  // TODO(configuration): mode, rule-file lookup and loaders
  return Protocol::InitSetting(settings);
}

template <class Record, class Protocol, int Code>
std::string UniDataDevice<Record, Protocol, Code>::FindRuleFile() const {
  return {};
}

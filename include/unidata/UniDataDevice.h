// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include <json/value.h>
#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "unidata/ThresholdRule.h"

// The generic half of a data device: configuration (mode, rule file, threshold tables), cycle
// completion (time stamp, record hand-over, alarm evaluation, history) and the status document
// with its lock. Record is the packed measurement record; it must start with a 32-bit `dataId`
// and carry its completion time in a TTime field `time`. Protocol is the host's bus base class;
// Code is the data code under which completed records are handed to the host.
template <class Record, class Protocol, int Code>
class UniDataDevice : public Protocol {
 public:
  using ThresholdMap = std::map<std::string, ThresholdRule>;

  UniDataDevice();
  ~UniDataDevice() override;

  using Protocol::LoadFromCache;
  int LoadFromCache(const unsigned char* data, int length) override;
  void RoundDone() override;
  int InitSetting(const Json::Value& settings) override;

  // Hook run once in every completed cycle, before the mode's evaluation.
  virtual void RunCheckThreshold() {}
  // Rebuilds the status document from the record; a device type fills it in.
  virtual void GenJsonData() {}

 protected:
  // Configuration.
  void ReadMode(const Json::Value& settings);
  std::string FindRuleFile() const;
  void LoadRulesFromRuleFile();
  void LoadRuleFile(const std::string& path);
  void LoadIdentityTables(const Json::Value& settings);
  void LoadThresholdRules(const Json::Value& settings);
  static void BuildThresholdRule(const Json::Value& member, const std::string& signalName,
                                 const std::string& id, const char* valueKey,
                                 const char* recoverKey, const char* levelKey,
                                 const char* levelCode, ThresholdMap& table);

  // Cycle completion: the record's time stamp and the evaluation the mode selects.
  void StampRecord();
  void EvaluateRules();

  // Alarm evaluation; callers hold jsonMutex_.
  void EvaluateAiSignals();
  void CheckSignalThresholdMap(ThresholdMap& rules, bool upper);
  int CheckAOReport(const std::string& alarmId, const std::string& signalId, float value);

  Record data_;
  int32_t b_mode_;
  std::map<std::string, std::string> nmAlarmIdMap_;
  std::map<std::string, std::string> signalNameMap_;
  std::map<std::string, std::string> alarmSignalIdMap_;
  ThresholdMap upThresholdMap_;
  ThresholdMap up2ThresholdMap_;
  ThresholdMap lowThresholdMap_;
  ThresholdMap low2ThresholdMap_;
  boost::posix_time::ptime jsonTime_;
  std::mutex jsonMutex_;
  Json::Value jsonData_;
  std::map<std::string, std::pair<std::string, std::string>> aiSignalMap_;
};

#include "unidata/detail/ao_report.h"        // IWYU pragma: export
#include "unidata/detail/lifecycle.h"        // IWYU pragma: export
#include "unidata/detail/rule_loaders.h"     // IWYU pragma: export
#include "unidata/detail/settings.h"         // IWYU pragma: export
#include "unidata/detail/threshold_check.h"  // IWYU pragma: export

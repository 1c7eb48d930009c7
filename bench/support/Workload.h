// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <memory>
#include <streambuf>
#include <string>
#include <vector>

#include <json/value.h>

#include "host/RecordingController.h"
#include "support/DeviceProbe.h"

// The workloads that the benchmarks, the instruction counter, the memory report and the
// allocation test all measure, built in one place so that every figure describes the same work.
namespace workload {

constexpr unsigned int kDataId = 12;

// What the device is configured with.
enum class Setup {
  kMode0,         // no rules, no evaluation
  kMode1Rules3,   // INI rule file with three signals (and their report settings)
  kMode5Rules12,  // three signals x four limits from "thresholdSetting"
};
const char* Name(Setup setup);

// Registers of a sensor reading 45.6 %RH, 23.4 degrees and 1013.0 hPa, calibration 0, slave
// address 1, baud code 2 (9600).
void FillSensorRegisters(RecordingController& bus);

Json::Value ModeSettings(int mode);
// Mode 5 settings: members of three signals x four limits. Against the sensor registers above,
// two of the twelve rules are raised, so alarm texts are built every cycle.
Json::Value TwelveRuleSettings();
// Mode 5 settings with `members` signals, all four limits each.
Json::Value ManyThresholdMembers(int members);
// INI rule file with the three status-document signals.
std::string ThreeSignalRuleFile();
// INI rule file with `aiKeys` keys in [AI] and `alarmKeys` in [ALARM].
std::string RuleFileWithKeys(int aiKeys, int alarmKeys);

// A scratch working directory with an ini/ folder; Enter() makes it the current directory
// (rule files are looked up relative to it) until Leave() or destruction.
class ScratchDirectory {
 public:
  ScratchDirectory();
  ~ScratchDirectory();
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

  void WriteRuleFile(const std::string& name, const std::string& text) const;
  void Enter();
  void Leave();

 private:
  std::string path_;
  std::string previous_;
};

// Standard output replaced by a buffer that discards: the device still formats and flushes its
// log lines, but nothing reaches a terminal or a file.
class QuietStdout {
 public:
  QuietStdout();
  ~QuietStdout();
  QuietStdout(const QuietStdout&) = delete;
  QuietStdout& operator=(const QuietStdout&) = delete;

 private:
  class DiscardBuffer : public std::streambuf {
   public:
    DiscardBuffer() { setp(space_, space_ + sizeof space_); }

   protected:
    int_type overflow(int_type c) override {
      setp(space_, space_ + sizeof space_);
      return traits_type::not_eof(c);
    }
    int sync() override {
      setp(space_, space_ + sizeof space_);
      return 0;
    }

   private:
    char space_[256];
  };
  DiscardBuffer discard_;
  std::streambuf* previous_;
};

// Configures a device for a setup: mode 1 reads its rule file from `scratch`.
void Configure(DeviceProbe& device, Setup setup, ScratchDirectory& scratch);

// One whole poll cycle: RefreshStatus, then the six answers from the in-memory bus, the last of
// which completes the cycle. The status document's time is cleared first so that the cycle
// rebuilds it, as every cycle on a real line does (cycles there are seconds apart, while here
// many fall within one second of the clock).
void RunCycle(DeviceProbe& device, RecordingController& bus);

// Checks, with recording on, that one cycle makes the six requests and hands over the record,
// and in the evaluating setups that the evaluation reaches the host. Returns what is missing,
// or an empty text when the path is complete.
std::string VerifyCycle(DeviceProbe& device, RecordingController& bus, Setup setup);

// A single device on its own recording controller, configured and through its first cycle.
struct Rig {
  explicit Rig(Setup setup);
  ScratchDirectory scratch;
  std::shared_ptr<RecordingController> bus = std::make_shared<RecordingController>();
  DeviceProbe device;
};

// One poll answer of steps 11 to 15: whenever the cycle reaches its last step, the step is put
// back to 11, so the answer delivered is always one that copies a block and asks for the next.
// Call once after RefreshStatus has queued the first request.
inline void RunPollAnswer(DeviceProbe& device, RecordingController& bus) {
  if (device.step_ == 16) device.step_ = 11;
  bus.RunNext();
}

// Checks that answers of steps 11 to 15 each copy a block and queue the next request.
std::string VerifyPollAnswers(DeviceProbe& device, RecordingController& bus);

}  // namespace workload

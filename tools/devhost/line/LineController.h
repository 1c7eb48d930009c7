// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/Signals.h"
#include "config/HostConfig.h"
#include "events/DeviceTypes.h"
#include "events/EventFanout.h"
#include "host/SMDController.h"
#include "line/Bus.h"
#include "line/CycleProgress.h"
#include "line/HostedDevice.h"
#include "line/JobQueue.h"
#include "line/LineDevices.h"
#include "line/LinePort.h"
#include "line/RoundWire.h"

// What a register write came to, for people and as the command's exit status.
struct WriteResult {
  std::string outcome;  // "confirmed", "not confirmed (echo 16 for 15)", "refused by ...", ...
  int exitStatus = 0;
};

// The reference host's controller for one serial line. It owns the line: it queues the requests
// of the line's devices and performs them one at a time, delivers every answer or failure back,
// runs the jobs others post (commands from the control socket) between poll cycles, and emits
// everything that happens as events to its sinks. Everything here runs on the line's thread,
// except Post, Stop and the waits on Progress(). What it keeps of each device's alarms and link
// is the device's (AlarmBook, LinkHealth); its port is LinePort's; what the line tells of its
// devices besides their cycles is DeviceReports'.
class LineController : public SMDController {
 public:
  static constexpr std::size_t kMaxQueued = 64;
  static constexpr int kMaxExchangesPerRun = 64;

  explicit LineController(const LineConfig& config);
  ~LineController() override;

  // The line's devices: added before the line runs, found by data id.
  LineDevices& Devices() { return devices_; }
  const LineConfig& Config() const { return port_.Config(); }
  // The line's port: the bus to attach, commissioning's exchanges and speed changes.
  LinePort& Port() { return port_; }
  EventFanout& Events() { return events_; }
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  // The time the link's reminders are counted on; tests step their own.
  void SetClock(Clock clock) { clock_ = std::move(clock); }
  // Work for the time left after a poll round (retention): called with the time the next
  // round is due, which it must leave room for.
  using IdleWork = std::function<void(std::chrono::steady_clock::time_point nextRound)>;
  void SetIdleWork(IdleWork work) { idleWork_ = std::move(work); }

  // Polls every poll interval until stopped or `rounds` rounds are done (0: no limit), running
  // posted jobs while it waits and between the devices of a round.
  void Run(long rounds);
  void PollRound();
  void PollDevice(HostedDevice& device);
  WriteResult WriteRegisters(HostedDevice& device, uint16_t address,
                             const std::vector<uint16_t>& values,
                             const std::vector<int>& typed = {});

  // Any thread: runs `job` on the line's thread between exchanges; false when the line has
  // stopped and will run no more jobs.
  bool Post(std::function<void()> job) { return jobs_.Post(std::move(job)); }
  // Any thread: the line was told to stop (or the host was), so jobs still queued are its last.
  bool Stopping() const { return stopping_ || StopRequested(); }
  // Ends the line's service: queued jobs still run, later ones are refused, waiters wake.
  void Close();
  // Any thread: Run or ServeJobs returns at its next wait, for a host started to answer one
  // command.
  void Stop();
  // Runs posted jobs until stopped, polling nothing of its own: a line of a host started to
  // answer one command, polled only when a job asks (or not at all: its port left closed).
  void ServeJobs();
  // Any thread: the cycles the line completes, to wait for a device's next one.
  CycleProgress& Progress() { return progress_; }

  int SubmitRequest(SPModbus& device, const ModbusRequest& request) override;
  int SendSP(SMDVDevice& device, int code, const unsigned char* data, unsigned int length,
             bool flag) override;
  int CheckThreshold(SMDVDevice& device, const std::string& alarmId, const std::string& name,
                     float value, int kind) override;
  int CheckThresholdBool(SMDVDevice& device, int level, const std::string& signalName,
                         const std::string& alarmId, const std::string& valueText,
                         const std::string& alarmText, bool active, unsigned short kind) override;
  int CheckAOReport(SMDVDevice& device, const std::string& signalId, float value) override;
  bool DoBatchCheckThreshold(SMDVDevice& device,
                             const std::vector<rule_value>& ruleValues) override;
  int SaveDeviceHistory(SMDVDevice& device, const unsigned char* data,
                        unsigned int length) override;
  int OpenPort(SMDSPDevice& device) override;
  int ClosePort(SMDSPDevice& device) override;
  int SendData(SMDSPDevice& device, const unsigned char* data, unsigned int length,
               EnumParity parity) override;
  int DeviceIoControl(SMDVDevice& device, int code, const void* in, int inlen, void* out,
                      int outlen, int& outlenRet) override;

 private:
  struct Pending {
    HostedDevice* device;
    ModbusRequest request;
  };

  int RunQueue();  // the exchanges it ran
  void RunExchange(const Pending& pending);
  void TrackLink(HostedDevice& device, bool completed);
  // After the first round every device completed: what such a round costs on the wire.
  void TellRoundWire(bool everyDeviceCompleted);

  LinePort port_;
  EventFanout events_;
  LineDevices devices_;
  std::deque<Pending> queue_;
  JobQueue jobs_;
  Clock clock_ = &std::chrono::steady_clock::now;
  IdleWork idleWork_;
  // What the last write exchange brought back, for the write's outcome text.
  std::optional<Exchange> lastWrite_;
  std::optional<ModbusRequest> lastWriteRequest_;

  RoundWire roundWire_;
  bool roundWireTold_ = false;

  CycleProgress progress_;
  std::atomic<bool> stopping_{false};
};

#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "config/HostConfig.h"
#include "events/Console.h"
#include "host/SMDController.h"
#include "line/SerialLine.h"
#include "service/HostedDevice.h"
#include "store/Store.h"

// The reference host's controller for one serial line: it queues the requests of the line's
// devices and performs them one at a time on the line, delivers every answer or failure back,
// keeps records, alarm transitions and reports in the store and tells the console.
// Everything a device does outward on this line passes through here, on one thread.
class LineController : public SMDController {
 public:
  // Code of a command that no device handles itself: a DO3008RA answers it with the outcome
  // of its last register write before passing it on.
  static constexpr int kWriteOutcomeQuery = 1;
  static constexpr std::size_t kMaxQueued = 64;
  static constexpr int kMaxExchangesPerRun = 64;

  LineController(const LineConfig& config, Console& console);
  ~LineController() override;

  HostedDevice& Add(std::unique_ptr<HostedDevice> device);
  std::vector<std::unique_ptr<HostedDevice>>& Devices() { return devices_; }
  const LineConfig& Config() const { return config_; }
  void AttachLine(std::unique_ptr<SerialLine> line) { line_ = std::move(line); }
  void AttachStore(std::unique_ptr<Store> store) { store_ = std::move(store); }

  // Gives each device its last stored record, and the host its last known alarm states.
  void Restore();
  // Polls every poll interval until stopped or `rounds` rounds are done (0: no limit).
  void Run(long rounds);
  void PollRound();
  void PollDevice(HostedDevice& device);
  // A device rebuilds its status document only when its data time has moved to another
  // second; a cycle that must show up there waits for the next second first.
  void WaitForNextSecond(const HostedDevice& device);
  // "confirmed", "not confirmed" or "no answer".
  std::string WriteRegisters(HostedDevice& device, uint16_t address,
                             const std::vector<uint16_t>& values);
  // The device's status document (command 801) as it hands it out.
  std::optional<std::string> StatusDocument(HostedDevice& device);
  void PrintSummaries();

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

  HostedDevice* Find(const SMDVDevice& device);
  void RunQueue();
  void RunExchange(const Pending& pending);
  // Runs a device operation; whatever it throws is counted as an error of that device.
  void Guarded(HostedDevice& device, const char* operation, const std::function<void()>& call);
  void CountError(HostedDevice& device, const std::string& what);
  // Runs a store operation; a failing store is reported, never thrown into a device.
  void Stored(HostedDevice& device, const std::function<void(Store&)>& write);
  std::size_t ActiveAlarms(const HostedDevice& device) const;

  LineConfig config_;
  Console& console_;
  std::unique_ptr<SerialLine> line_;
  std::unique_ptr<Store> store_;
  std::vector<std::unique_ptr<HostedDevice>> devices_;
  std::map<const SMDVDevice*, HostedDevice*> byDevice_;
  std::deque<Pending> queue_;
};

// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "do3008ra/DO3008RA_Data_t.h"
#include "do3008ra/sensor_facts.h"
#include "host/SPModbus.h"
#include "unidata/UniDataDevice.h"

// Temperature, humidity and air-pressure sensor on Modbus-RTU.
class DO3008RA : public UniDataDevice<DO3008RA_Data_t, SPModbus, do3008ra::kDataCode> {
 public:
  static constexpr int kDataCode = do3008ra::kDataCode;

  // Commands of DeviceIoControl; the write and signal codes double as poll steps, so that the
  // answer that follows them is routed to the command.
  enum Command : int {
    kWriteRegister = do3008ra::kWriteRegisterCommand,
    kWriteRegisters = do3008ra::kWriteRegistersCommand,
    kSignalCommand = 310,
    kSignalCommandInMode = 320,
    kStatusText = do3008ra::kStatusTextCommand,
    kStatusAddress = do3008ra::kStatusAddressCommand,
  };
  // Steps of the poll cycle: one per read, holding copy first, input copy second.
  static constexpr int kFirstPollStep = 11;
  static constexpr int kLastPollStep = 16;
  // Write outcomes reported to the host.
  static constexpr int32_t kWritePending = do3008ra::kWritePending;
  static constexpr int32_t kWriteConfirmed = do3008ra::kWriteConfirmed;
  static constexpr int32_t kWriteNotConfirmed = do3008ra::kWriteNotConfirmed;

  DO3008RA();
  ~DO3008RA() override;

  float Get_Value(unsigned int signalId, const std::string& name) const override;
  int DeviceIoControl(int code, const void* in, int inlen, void* out, int outlen,
                      int& outlenRet) override;
  int InitSetting(const Json::Value& settings) override;
  int RefreshStatus() override;
  int process_payload(tab_type table, unsigned int count) override;
  void RunCheckThreshold() override {}
  void GenJsonData() override;

 protected:
  int32_t writeResult_ = kWritePending;
  int32_t writeExpect_ = -1;  // what the pending write's acknowledgement must carry

 private:
  // Poll cycle.
  void RequestPollRead(int step);
  void StoreAnswer(std::size_t recordOffset, unsigned int registerCount);
  int AcknowledgeWrite(bool confirmed);

  // Status document; the caller holds jsonMutex_.
  void FillStatusDocument();

  // Commands.
  int WriteRegister(const void* in, int inlen);
  int WriteRegisters(const void* in, int inlen);
  int SignalCommand(int code, const void* in, int inlen, void* out, int outlen, int& outlenRet);
  int StatusText(void* out, int outlen, int& outlenRet);
  int StatusAddress(void* out, int outlen, int& outlenRet);
  int ReportWriteResult(int code, const void* in, int inlen, void* out, int outlen, int& outlenRet);
};

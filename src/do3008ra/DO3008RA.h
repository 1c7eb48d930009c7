#pragma once

#include <cstdint>
#include <string>

#include "do3008ra/DO3008RA_Data_t.h"
#include "host/SPModbus.h"
#include "unidata/UniDataDevice.h"

// Temperature, humidity and air-pressure sensor on Modbus-RTU.
class DO3008RA : public UniDataDevice<DO3008RA_Data_t, SPModbus, 5156> {
 public:
  static constexpr int kDataCode = 5156;

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
  int32_t writeResult_ = -1;  // -1 pending, 1 confirmed, 3 not confirmed
  int32_t writeExpect_ = -1;  // what the pending write's acknowledgement must carry
};

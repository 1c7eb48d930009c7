// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <atomic>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "host/AtomicPtime.h"
#include "host/host_api.h"

// Root interface of every device the host runs. The order of the virtual operations below is
// the order of the device's operation table and must not change.
class HOST_API VDeviceInterface {
 public:
  VDeviceInterface();
  VDeviceInterface(const VDeviceInterface&) = delete;
  VDeviceInterface& operator=(const VDeviceInterface&) = delete;

  virtual float Get_Value(unsigned int signalId, const std::string& name) const {
    (void)signalId;
    (void)name;
    throw std::out_of_range("数据未就绪");
  }
  // Passes the blob's bytes to the byte overload.
  virtual int LoadFromCache(const std::string& blob);
  // Default: a device without a cache refuses every blob.
  virtual int LoadFromCache(const unsigned char* data, int length);
  virtual unsigned int DataId() const { return dataId_; }
  virtual const std::string& DeviceType() const { return deviceType_; }
  virtual int DeviceIoControl(int code, const void* in, int inlen, void* out, int outlen,
                              int& outlenRet);
  virtual void RoundDone();
  virtual bool UseControllerDb() { return useControllerDb_; }
  virtual ~VDeviceInterface();

  // Host-side view of the last completed cycle, for the host's own loops and displays.
  bool DataReady() const { return dataReady_.load(std::memory_order_acquire); }
  boost::posix_time::ptime DataTime() const { return dataTime_.load(); }

 protected:
  uint32_t dataId_ = 0;
  std::string deviceType_;
  // Written on the bus thread at the end of a cycle, read by value queries on any thread.
  std::atomic<bool> dataReady_{false};
  AtomicPtime dataTime_;
  bool useControllerDb_ = false;
};

// SPDX-License-Identifier: Apache-2.0
#include "host/VDeviceInterface.h"

#include <climits>

VDeviceInterface::VDeviceInterface() = default;
VDeviceInterface::~VDeviceInterface() = default;

int VDeviceInterface::LoadFromCache(const std::string& blob) {
  if (blob.size() > static_cast<size_t>(INT_MAX)) return 0;
  return LoadFromCache(reinterpret_cast<const unsigned char*>(blob.data()),
                       static_cast<int>(blob.size()));
}

int VDeviceInterface::LoadFromCache(const unsigned char* data, int length) {
  (void)data;
  (void)length;
  return 0;
}

int VDeviceInterface::DeviceIoControl(int code, const void* in, int inlen, void* out, int outlen,
                                      int& outlenRet) {
  (void)code;
  (void)in;
  (void)inlen;
  (void)out;
  (void)outlen;
  outlenRet = 0;
  return -1;
}

void VDeviceInterface::RoundDone() {}

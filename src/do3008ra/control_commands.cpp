#include "do3008ra/DO3008RA.h"

int DO3008RA::DeviceIoControl(int code, const void* in, int inlen, void* out, int outlen,
                              int& outlenRet) {
  // TODO(commands)
  return SMDVDevice::DeviceIoControl(code, in, inlen, out, outlen, outlenRet);
}

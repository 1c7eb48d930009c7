// SPDX-License-Identifier: Apache-2.0
// RS-485 direction control at every open of a serial line: the first, a reopening after the
// device came back, and a change of speed. A pseudo-terminal refuses the kernel's RS-485 mode,
// so the three libmodbus calls that set it are stood in for here (a definition in the executable
// comes before the shared library's) and record what was asked; every other call is
// libmodbus's own, on a real pseudo-terminal.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <modbus/modbus.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "line/SerialLine.h"

namespace {

// While false, the stand-ins pass each call on to libmodbus.
bool recordSerialModeCalls = false;
std::vector<std::string> serialModeCalls;

template <typename Function>
Function LibmodbusCall(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" int modbus_rtu_set_serial_mode(modbus_t* context, int mode) {
  if (!recordSerialModeCalls) {
    return LibmodbusCall<int (*)(modbus_t*, int)>("modbus_rtu_set_serial_mode")(context, mode);
  }
  serialModeCalls.push_back(mode == MODBUS_RTU_RS485 ? "RS-485" : "RS-232");
  return 0;
}

extern "C" int modbus_rtu_set_rts(modbus_t* context, int mode) {
  if (!recordSerialModeCalls) {
    return LibmodbusCall<int (*)(modbus_t*, int)>("modbus_rtu_set_rts")(context, mode);
  }
  serialModeCalls.push_back(mode == MODBUS_RTU_RTS_UP ? "RTS high" : "RTS low");
  return 0;
}

extern "C" int modbus_rtu_set_rts_delay(modbus_t* context, int us) {
  if (!recordSerialModeCalls) {
    return LibmodbusCall<int (*)(modbus_t*, int)>("modbus_rtu_set_rts_delay")(context, us);
  }
  serialModeCalls.push_back("RTS delay " + std::to_string(us));
  return 0;
}

namespace {

struct RecordedSerialMode : ::testing::Test {
  void SetUp() override {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    config.device = ptsname(master);
    config.rs485 = Rs485Config{false, 250};
    serialModeCalls.clear();
    recordSerialModeCalls = true;
  }
  void TearDown() override {
    recordSerialModeCalls = false;
    if (master >= 0) close(master);
  }
  // What `opens` openings of the line asked of libmodbus.
  static std::vector<std::string> Opened(int opens) {
    std::vector<std::string> calls;
    for (int i = 0; i < opens; ++i)
      calls.insert(calls.end(), {"RS-485", "RTS low", "RTS delay 250"});
    return calls;
  }

  int master = -1;
  LineConfig config;
};

TEST_F(RecordedSerialMode, EveryOpenOfTheLineEntersRs485Mode) {
  SerialLine line(config);
  EXPECT_EQ(serialModeCalls, Opened(1));
  // The adapter unplugged and back: its transceiver must be driven again.
  line.Drop();
  line.Reopen();
  EXPECT_EQ(serialModeCalls, Opened(2));
  // Another speed is a new libmodbus context.
  line.Reconfigure(19200, 'E');
  EXPECT_EQ(serialModeCalls, Opened(3));
}

}  // namespace

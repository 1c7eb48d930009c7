// SPDX-License-Identifier: Apache-2.0
// What commissioning takes of a model from its device type's profile, on a line of real devices.
#include <gtest/gtest.h>

#include "SensorLine.h"
#include "commission/BaudCodes.h"
#include "commission/BusRegisters.h"
#include "commission/LineChange.h"
#include "do3008ra/sensor_facts.h"
#include "events/DeviceTypes.h"

namespace {

const BusProfile& SensorBus() { return DeviceTypeNamed(do3008ra::kDeviceType)->profile->bus; }

// Faults caught: a profile that reads the sensor's place from other registers or the speed from
// the wrong word of the block (on a sensor whose registers are set, not compared with the
// constants the profile is filled from), a code and its speed that do not map back, a scan order
// that does not start at the factory speed.
TEST(DeviceProfile, TheSensorsProfileReadsItsPlaceOnTheBus) {
  ASSERT_TRUE(CommissionedType().profile.has_value());
  const BusProfile& bus = SensorBus();
  for (unsigned code = 0; code < bus.baudRates.size(); ++code) {
    EXPECT_EQ(bus.CodeOfBaud(bus.BaudOfCode(code)), code);
  }
  EXPECT_EQ(bus.BaudOfCode(static_cast<unsigned>(bus.baudRates.size())), 0);
  EXPECT_FALSE(bus.CodeOfBaud(300));
  EXPECT_EQ(BaudsInScanOrder(bus),
            (std::vector<int>{9600, 115200, 57600, 38400, 19200, 4800, 2400, 1200}));

  SensorLine sensor;
  sensor.AddSensor(7, 5);
  sensor.bus->Slave(5)[2001] = 4;
  const BusReading reading = ReadBusRegisters(*sensor.bus, 5, bus);
  EXPECT_TRUE(reading.Plausible());
  EXPECT_EQ(reading.Text(), "address 5, 38400 baud");
  sensor.bus->Slave(5)[2000] = 248;
  EXPECT_FALSE(ReadBusRegisters(*sensor.bus, 5, bus).Plausible());
}

// Fault caught: the sensor's registers or write commands used on a device of a type the host has
// no profile of.
TEST(DeviceProfile, ADeviceOfATypeWithoutProfileIsNotChanged) {
  SensorLine sensor;
  HostedDevice& device = sensor.AddSensor(7, 5);
  device.type = nullptr;
  EXPECT_EQ(ChangeAddress(*sensor.line, device, 9), kExitNotDone);
  EXPECT_EQ(device.slave, 5);
  EXPECT_TRUE(sensor.EventsOf<WriteEvent>().empty());
  const uint16_t before = sensor.bus->Slave(5)[80];
  const WriteResult write = sensor.line->WriteRegisters(device, 80, {15}, {});
  EXPECT_EQ(write.exitStatus, kExitNotDone);
  EXPECT_EQ(write.outcome, "not done: the host knows no register writes of this device's type");
  EXPECT_EQ(sensor.bus->Slave(5)[80], before);
  const auto changes = sensor.EventsOf<CommissionEvent>();
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes[0].outcome,
            "not done: device 7 is of a type whose address and speed registers the host does "
            "not know");
}

}  // namespace

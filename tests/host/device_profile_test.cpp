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

// Faults caught: a profile whose registers or codes are not the sensor's (commissioning would
// write another register, or read the speed from the wrong word of the block), a scan order that
// does not start at the factory speed.
TEST(DeviceProfile, TheSensorsProfileReadsItsPlaceOnTheBus) {
  ASSERT_TRUE(CommissionedType().profile.has_value());
  const BusProfile& bus = SensorBus();
  EXPECT_EQ(bus.addressRegister, do3008ra::kAddressRegister);
  EXPECT_EQ(bus.baudCodeRegister, do3008ra::kBaudCodeRegister);
  for (unsigned code = 0; code < do3008ra::kBaudCodeCount; ++code) {
    EXPECT_EQ(bus.BaudOfCode(code), do3008ra::BaudOfCode(code));
    EXPECT_EQ(bus.CodeOfBaud(do3008ra::BaudOfCode(code)), code);
  }
  EXPECT_EQ(bus.BaudOfCode(do3008ra::kBaudCodeCount), 0);
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

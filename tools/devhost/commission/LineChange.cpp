// SPDX-License-Identifier: Apache-2.0
#include "commission/LineChange.h"

#include "commission/BaudCodes.h"
#include "commission/BusRegisters.h"
#include "line/LineController.h"
#include "line/WriteOutcome.h"

namespace {

bool IsAt(const BusReading& reading, int address, int baud) {
  return reading.answered && reading.address == address && reading.baud == baud;
}

// The sensor asked again where the host talks to it now, after a change that did not hold.
std::string Recheck(LineController& line, const BusProfile& bus, int address) {
  const int baud = line.Config().baudRate;
  const BusReading reading = ReadBusRegisters(line.Port().Wire(), address, bus);
  const std::string place = PlaceText(address, baud);
  if (!reading.answered) {
    return "back at " + place + ": no answer there either (" + reading.error +
           "); find the sensor with devhost scan " + line.Port().Wire().Device();
  }
  if (IsAt(reading, address, baud)) return "back at " + place + ": the sensor answers there";
  return "back at " + place + ": the sensor answers there, its registers say " + reading.Text() +
         ": it takes that setting at its next start; power it off and on, then run devhost scan " +
         line.Port().Wire().Device();
}

// Why the sensor was not verified at the new setting.
std::string NotThere(const BusReading& reading, const std::string& place) {
  if (!reading.answered) return "no answer at " + place + " (" + reading.error + ")";
  return "at " + place + " the registers say " + reading.Text();
}

std::string NoBusRegisters(const HostedDevice& device) {
  return "device " + std::to_string(device.dataId) +
         " is of a type whose address and speed registers the host does not know";
}

// A line that cannot be opened at a speed answers every exchange with "not open", which the
// verification reports; the old speed is tried next.
void MoveLine(LineController& line, int baud) {
  try {
    line.Port().ChangeSpeed(baud);
  } catch (const SerialError&) {
  }
}

class Change {
 public:
  // `bus`: the device's bus registers, nullptr for a type the host cannot commission.
  Change(LineController& line, HostedDevice& device, const BusProfile* bus, bool speed, int from,
         int to)
      : line_(line), device_(device), bus_(bus) {
    event_.dataId = device.dataId;
    event_.speed = speed;
    event_.from = from;
    event_.to = to;
  }

  int NotDone(const std::string& why) { return Finish(kExitNotDone, "not done: " + why); }

  // The write went out; false (and the outcome emitted) when the sensor did not confirm it.
  bool Written(uint16_t address, uint16_t value) {
    const WriteResult written = line_.WriteRegisters(device_, address, {value});
    if (written.exitStatus == kExitOk) return true;
    Finish(written.exitStatus, "not changed: the write was " + written.outcome + "; " +
                                   Recheck(line_, *bus_, device_.slave));
    return false;
  }

  // Reads where the sensor is now; on success the change is done, else the host goes back to
  // the old setting (`undo`) and asks the sensor there.
  template <typename Undo>
  int Verify(Undo undo) {
    const int address = device_.slave;
    const int baud = line_.Config().baudRate;
    const std::string place = PlaceText(address, baud);
    const BusReading reading = ReadBusRegisters(line_.Port().Wire(), address, *bus_);
    if (IsAt(reading, address, baud)) return Finish(kExitOk, "now at " + place + ": verified");
    undo();
    return Finish(reading.answered ? kExitNotConfirmed : kExitNoAnswer,
                  NotThere(reading, place) + "; " + Recheck(line_, *bus_, device_.slave));
  }

  int Finish(int status, const std::string& outcome) {
    event_.verified = status == kExitOk;
    event_.address = device_.slave;
    event_.baud = line_.Config().baudRate;
    event_.outcome = outcome;
    line_.Events().Emit(event_);
    line_.Events().Flush();
    status_ = status;
    return status;
  }
  int Status() const { return status_; }

 private:
  LineController& line_;
  HostedDevice& device_;
  const BusProfile* bus_;
  CommissionEvent event_;
  int status_ = 0;
};

}  // namespace

int ChangeAddress(LineController& line, HostedDevice& device, int newAddress) {
  const int from = device.slave;
  const BusProfile* bus = BusProfileOf(device);
  Change change(line, device, bus, false, from, newAddress);
  if (bus == nullptr) return change.NotDone(NoBusRegisters(device));
  for (const auto& other : line.Devices()) {
    if (other.get() != &device && other->slave == newAddress) {
      return change.NotDone("address " + std::to_string(newAddress) + " is device " +
                            std::to_string(other->dataId) + "'s on this line");
    }
  }
  if (!change.Written(bus->addressRegister, static_cast<uint16_t>(newAddress))) {
    return change.Status();
  }
  device.slave = newAddress;
  return change.Verify([&] { device.slave = from; });
}

int ChangeSpeed(LineController& line, HostedDevice& device, int newBaud, bool force) {
  const int from = line.Config().baudRate;
  const BusProfile* bus = BusProfileOf(device);
  Change change(line, device, bus, true, from, newBaud);
  if (bus == nullptr) return change.NotDone(NoBusRegisters(device));
  const auto code = bus->CodeOfBaud(newBaud);
  if (!code) {
    return change.NotDone("the sensor takes " + BaudList(*bus) + " baud, not " +
                          std::to_string(newBaud));
  }
  const std::size_t devices = line.Devices().size();
  if (devices > 1 && !force) {
    return change.NotDone("line " + line.Port().Wire().Device() + " has " +
                          std::to_string(devices) +
                          " devices; at another speed the others are no longer heard until "
                          "each of them is moved too (add --force to change this one anyway)");
  }
  if (!change.Written(bus->baudCodeRegister, *code)) return change.Status();
  MoveLine(line, newBaud);
  return change.Verify([&] { MoveLine(line, from); });
}

// SPDX-License-Identifier: Apache-2.0
#include "commission/ChangeRecovery.h"

#include "commission/BusRegisters.h"
#include "commission/ConfigEdit.h"
#include "commission/PendingChange.h"
#include "line/LineController.h"

namespace {

bool AnswersAt(LineController& line, const BusProfile& bus, int address) {
  const BusReading reading = ReadBusRegisters(line.Port().Wire(), address, bus);
  return reading.answered && reading.address == address && reading.baud == line.Config().baudRate;
}

// Where the host talks to the device: its address, or its line's speed.
void MoveTo(LineController& line, HostedDevice& device, const PendingChange& change, int value) {
  if (!change.speed) {
    device.slave = value;
    return;
  }
  try {
    line.Port().ChangeSpeed(value);
  } catch (const SerialError&) {
  }
}

// The sensor answers at the new place: the configuration is brought there if the command was to.
std::string Followed(const HostConfig& config, const PendingChange& change) {
  const ConfigMember member = change.speed ? SpeedMember(config, change.dataId, change.to)
                                           : AddressMember(config, change.dataId, change.to);
  const std::string setting = member.Path() + " to " + std::to_string(change.to);
  if (change.updateConfig) {
    try {
      const ConfigBackups backups = UpdateConfigFile(config.path, member);
      ClearPendingChange(config.database, change.dataId);
      return "updated " + setting + " in " + config.path + " (" + backups.Text() + ")";
    } catch (const ConfigError& error) {
      return std::string("could not update the configuration: ") + error.what() + "; set " +
             setting + " in " + config.path + " by hand";
    }
  }
  return "set " + setting + " in " + config.path +
         " for the host to find the sensor at its next start";
}

// How the record came to be left: a command that did not finish, or a change that did but
// whose configuration was not written.
std::string Head(const PendingChange& change) {
  const std::string head = "device " + std::to_string(change.dataId) + ": a " + change.Command() +
                           " to " + change.Place(change.to);
  if (change.verified) {
    return head + " was verified (" + change.process.Text() +
           ") but not written into the configuration";
  }
  return head + " was interrupted (" + change.process.Text() + ")";
}

std::string Resolve(LineController& line, HostedDevice& device, const BusProfile& bus,
                    const PendingChange& change, const HostConfig& config) {
  const std::string head = Head(change);
  const int configured = change.speed ? line.Config().baudRate : device.slave;
  if (AnswersAt(line, bus, device.slave)) {
    ClearPendingChange(config.database, change.dataId);
    return head + (change.verified ? ", and the sensor is back" : " before the sensor moved") +
           ": it answers at " + change.Place(configured);
  }
  MoveTo(line, device, change, change.to);
  if (!AnswersAt(line, bus, device.slave)) {
    MoveTo(line, device, change, configured);
    return head + ": the sensor answers neither at " + change.Place(configured) + " nor at " +
           change.Place(change.to) + "; find it with devhost scan " + line.Config().device;
  }
  return head + (change.verified ? "" : " after the sensor moved") + ": following it at " +
         change.Place(change.to) + " in this run; " + Followed(config, change);
}

void WarnUnusable(LineController& line, uint32_t dataId, const std::string& problem) {
  // The sensor may have moved: polling it where the configuration says may find nothing.
  line.Events().Emit(NoticeEvent{
      "device " + std::to_string(dataId) +
          ": warning: the record of an interrupted readdress or rebaud cannot be read (" + problem +
          "); the sensor may not be where the configuration says: let this host's user read "
          "the record, or find the sensor (devhost scan " +
          line.Config().device + ") and remove it",
      LogLevel::kWarning});
}

}  // namespace

void ResolveInterruptedChanges(LineController& line, const HostConfig& config) {
  for (const auto& device : line.Devices()) {
    const ChangeRecord record = ReadChangeRecord(config.database, device->dataId);
    if (record.state == ChangeRecord::State::kUnusable) {
      WarnUnusable(line, device->dataId, record.problem);
      continue;
    }
    if (record.state == ChangeRecord::State::kNone) continue;
    const PendingChange& change = record.change;
    const int configured = change.speed ? line.Config().baudRate : device->slave;
    // The configuration says where the change was going: it completed, or was followed by hand.
    if (configured == change.to) {
      ClearPendingChange(config.database, device->dataId);
      continue;
    }
    if (change.process.StillRunning()) {
      line.Events().Emit(NoticeEvent{
          "device " + std::to_string(device->dataId) + ": a " + change.Command() + " to " +
              change.Place(change.to) + " is still being carried out by " + change.process.Text() +
              "; polled at " + change.Place(configured) + " as configured until it is done",
          LogLevel::kWarning});
      continue;
    }
    // Only a type with bus registers is ever changed (commission/LineChange.h).
    const BusProfile* bus = BusProfileOf(*device);
    if (bus == nullptr) continue;
    line.Events().Emit(NoticeEvent{Resolve(line, *device, *bus, change, config)});
  }
}

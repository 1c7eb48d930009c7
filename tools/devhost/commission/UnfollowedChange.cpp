// SPDX-License-Identifier: Apache-2.0
#include "commission/UnfollowedChange.h"

#include "commission/ConfigEdit.h"
#include "commission/PendingChange.h"

std::optional<std::string> UnfollowedChange(const HostConfig& config, uint32_t dataId) {
  const ChangeRecord record = ReadChangeRecord(config.database, dataId);
  if (record.state != ChangeRecord::State::kFound || !record.change.verified) return std::nullopt;
  const PendingChange& change = record.change;
  const ConfigMember member = change.speed ? SpeedMember(config, dataId, change.to)
                                           : AddressMember(config, dataId, change.to);
  try {
    // The file as it is now: someone may have set the member since.
    const std::string text = ReadConfigText(config.path);
    if (WithMember(text, member) == text) {
      ClearPendingChange(config.database, dataId);
      return std::nullopt;
    }
  } catch (const ConfigError&) {
  }
  return "device " + std::to_string(dataId) + " was moved to " + change.Place(change.to) +
         " by a " + change.Command() + " that could not write " + config.path + ": set " +
         member.Path() + " to " + std::to_string(change.to) +
         " there first (the host keeps that change in " +
         PendingChangePath(config.database, dataId) + " until then)";
}

#pragma once
// The peering entries of the revert record: what a peering looked like before the switch, in
// the form the record stores and the revert hands back to begin_create_or_update.

#include "core/record.hpp"
#include "platform/azure/records.hpp"

namespace dm::arm {

// The restorable properties of a peering, keyed by the SDK's field names; an absent flag or
// remote id is null.
Record peeringSnapshot(const azure::VirtualNetworkPeering& peering);

// The peering a snapshot describes: id and name stay on top; every other key (snake_case, as
// peeringSnapshot writes it, or already ARM's camelCase "properties") goes under `properties`
// in ARM's camelCase; null values are left out. Anything but an object gives an empty peering.
azure::VirtualNetworkPeering peeringFromSnapshot(const Record& snapshot);

}  // namespace dm::arm

// The peering entries of the revert record: the stored form and the peering a revert sends.
#include <gtest/gtest.h>

#include "dm/arm/peering_snapshot.hpp"

namespace {

using dm::Record;

TEST(PeeringSnapshot, FromSnapshotGivesArmShapeAndSnapshotGivesItBack) {
    const Record snapshot = Record::parse(R"({
      "id": "/subscriptions/s/resourceGroups/rg/providers/Microsoft.Network/virtualNetworks/v/virtualNetworkPeerings/p",
      "name": "p", "allow_virtual_network_access": true, "allow_forwarded_traffic": false,
      "allow_gateway_transit": false, "use_remote_gateways": true,
      "remote_virtual_network": {"id": "/hub"},
      "remote_address_space": {"address_prefixes": ["10.0.0.0/16"]},
      "do_not_verify_remote_gateways": null})");
    const auto peering = dm::arm::peeringFromSnapshot(snapshot);
    EXPECT_EQ(peering.writeBody(), Record::parse(R"({
      "id": "/subscriptions/s/resourceGroups/rg/providers/Microsoft.Network/virtualNetworks/v/virtualNetworkPeerings/p",
      "name": "p", "properties": {"allowVirtualNetworkAccess": true,
        "allowForwardedTraffic": false, "allowGatewayTransit": false, "useRemoteGateways": true,
        "remoteVirtualNetwork": {"id": "/hub"},
        "remoteAddressSpace": {"addressPrefixes": ["10.0.0.0/16"]}}})"));

    // What the switch stores reads back to the same snapshot.
    Record stored = snapshot;
    stored.erase("remote_address_space");
    stored.erase("do_not_verify_remote_gateways");
    EXPECT_EQ(dm::arm::peeringSnapshot(peering), stored);
    EXPECT_EQ(dm::arm::peeringFromSnapshot(Record("no object")).json(), Record::object());
}

}  // namespace

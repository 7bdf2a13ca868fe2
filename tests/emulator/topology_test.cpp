// Loading and dumping topologies, without a server.
#include <fstream>

#include "core/error.hpp"
#include "emulator_fixture.hpp"

namespace dm::emu::testing {
namespace {

TEST(TopologyTest, DumpLoadsBackIntoTheSameState) {
    Emulator first;
    first.loadTopology(baseTopology());
    Json dumped = first.dump();
    Emulator second;
    second.loadTopology(dumped);
    EXPECT_EQ(second.dump(), dumped);
    // The hub peering the connection made is dumped once and not made again on reload.
    const Json& spokeB = dumped["subscriptions"][0]["resourceGroups"][0]["virtualNetworks"][2];
    EXPECT_EQ(spokeB["virtualNetworkPeerings"].size(), 1u);
}

TEST(TopologyTest, ReferencesAndStatesAreFilledIn) {
    Emulator emu;
    emu.loadTopology(baseTopology());
    Json subnet = emu.resource(kNet + "/virtualNetworks/spoke-a/subnets/app");
    EXPECT_EQ(subnet["properties"]["routeTable"]["id"], kNet + "/routeTables/rt-app");
    Json gw = emu.resource(kNet + "/virtualNetworkGateways/vpn-a");
    EXPECT_EQ(gw["location"], "eastus");  // the group's location
    EXPECT_EQ(gw["properties"]["ipConfigurations"][0]["properties"]["subnet"]["id"],
              kNet + "/virtualNetworks/spoke-a/subnets/GatewaySubnet");
    EXPECT_TRUE(emu.resource(kNet + "/virtualNetworks/none").is_null());

    Json topology = baseTopology();
    auto& vnets = topology["subscriptions"][0]["resourceGroups"][0]["virtualNetworks"];
    vnets[1]["virtualNetworkPeerings"] = Json::array();  // hub no longer peers back
    vnets[2]["virtualNetworkPeerings"] = {
        {{"name", "x"}, {"remoteVirtualNetwork", "hub"}, {"peeringState", "Disconnected"}}};
    emu.loadTopology(topology);
    EXPECT_EQ(
        emu.resource(
            kNet +
            "/virtualNetworks/spoke-a/virtualNetworkPeerings/to-hub")["properties"]["peeringState"],
        "Initiated");
    EXPECT_EQ(
        emu.resource(
            kNet +
            "/virtualNetworks/spoke-b/virtualNetworkPeerings/x")["properties"]["peeringState"],
        "Disconnected");
}

TEST(TopologyTest, BadTopologyNamesTheKeyAndKeepsTheOldState) {
    Emulator emu;
    emu.loadTopology(baseTopology());
    Json topology = baseTopology();
    topology["subscriptions"][0]["resourceGroups"][0]["virtualNetworks"][0]["subnets"][1].erase(
        "name");
    try {
        emu.loadTopology(topology);
        FAIL() << "loaded a subnet without a name";
    } catch (const dm::Error& e) {
        EXPECT_STREQ(e.what(),
                     "topology: subscriptions[0].resourceGroups[0].virtualNetworks[0]."
                     "subnets[1]: missing \"name\"");
    }
    topology = baseTopology();
    topology["locks"] = {{{"scope", kRg}, {"name", "l"}, {"level", "Sometimes"}}};
    EXPECT_THROW(emu.loadTopology(topology), dm::Error);
    EXPECT_FALSE(emu.resource(kNet + "/virtualNetworks/spoke-a").is_null());
}

TEST(TopologyTest, ExampleTopologyLoads) {
    std::ifstream in(DM_EXAMPLE_TOPOLOGY);
    ASSERT_TRUE(in) << DM_EXAMPLE_TOPOLOGY;
    Emulator emu;
    emu.loadTopology(Json::parse(in));
    const std::string spokes =
        "/subscriptions/00000000-0000-0000-0000-000000000001/resourceGroups/rg-spoke/providers/"
        "Microsoft.Network/virtualNetworks/";
    Json peering = emu.resource(spokes +
                                "spoke-vnet-1/virtualNetworkPeerings/"
                                "spoke-vnet-1-to-transit");
    EXPECT_EQ(peering["properties"]["peeringState"], "Connected");  // across subscriptions
    Json hubPeerings =
        emu.resource(spokes + "spoke-vnet-2")["properties"]["virtualNetworkPeerings"];
    ASSERT_EQ(hubPeerings.size(), 1u);
    EXPECT_EQ(hubPeerings[0]["properties"]["peeringState"], "Connected");
}

}  // namespace
}  // namespace dm::emu::testing

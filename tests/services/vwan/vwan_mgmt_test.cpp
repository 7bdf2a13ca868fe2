// VWanMgmt: hub-peering recognition, and hub connections removed, stored and re-created against
// the emulator.
#include <set>
#include <utility>

#include "core/text.hpp"
#include "tests/services/vwan/vwan_fixture.hpp"

namespace dm::testing {
namespace {

using Lines = std::vector<std::string>;

const std::string kSpokeSub = "11111111-aaaa-4aaa-8aaa-000000000001";
const std::string kHubSub = "22222222-bbbb-4bbb-8bbb-000000000002";

// spoke-a is connected to both hubs (hub-west names it in other letter case), spoke-b to
// hub-east only, spoke-c to none.
const char* kTopology = R"({"subscriptions": [
  {"id": "11111111-aaaa-4aaa-8aaa-000000000001", "resourceGroups": [{"name": "rg-spoke",
   "virtualNetworks": [{"name": "spoke-a", "addressPrefixes": ["10.1.0.0/16"]},
                       {"name": "spoke-b", "addressPrefixes": ["10.2.0.0/16"]},
                       {"name": "spoke-c", "addressPrefixes": ["10.3.0.0/16"]}]}]},
  {"id": "22222222-bbbb-4bbb-8bbb-000000000002", "resourceGroups": [{"name": "rg-hub",
   "virtualHubs": [
    {"name": "hub-east", "addressPrefix": "10.100.0.0/23", "hubVirtualNetworkConnections": [
      {"name": "spoke-a-conn", "remoteVirtualNetwork": "VNETS/spoke-a",
       "enableInternetSecurity": true,
       "routingConfiguration": {"vnetRoutes": {
         "staticRoutes": [{"name": "r1", "addressPrefixes": ["10.9.0.0/16"],
                           "nextHopIpAddress": "10.1.0.4"}],
         "bgpConnections": [],
         "staticRoutesConfig": {"propagateStaticRoutes": true,
                                "vnetLocalRouteOverrideCriteria": "Equal"}}}},
      {"name": "spoke-b-conn", "remoteVirtualNetwork": "VNETS/spoke-b"}]},
    {"name": "hub-west", "addressPrefix": "10.101.0.0/23", "hubVirtualNetworkConnections": [
      {"name": "spoke-a-west", "remoteVirtualNetwork": "vnets/Spoke-A"}]}]}]}]})";

// The topology with "VNETS/" and "vnets/" standing for the spoke VNets' id prefix.
emu::Json topology() {
    std::string text = kTopology;
    const std::string prefix = "/subscriptions/" + kSpokeSub + "/resourceGroups/rg-spoke";
    for (auto [from, to] : {std::pair<std::string, std::string>{"VNETS/", prefix},
                            {"vnets/", text::toLower(prefix)}}) {
        for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at))
            text.replace(at, from.size(), to + "/providers/Microsoft.Network/virtualNetworks/");
    }
    return emu::Json::parse(text);
}

class VWanMgmtTest : public VWanFixture {
  protected:
    void SetUp() override { startCloud(topology()); }
    azure::VirtualNetwork vnet(const std::string& name) {
        return client(kSpokeSub).virtual_networks.get("rg-spoke", name);
    }
    std::set<std::string> hubPeerings(const std::string& name) {
        std::set<std::string> hubs;
        for (const auto& p : vnet(name).virtual_network_peerings())
            hubs.insert(VWanMgmt::getVHubNameFromPeering(*p.remote_virtual_network()));
        return hubs;
    }
    Record options = {{"vwan", nullptr}};
};

TEST(VHubNameFromPeering, RecognisesOnlyAHubsManagedVnet) {
    const std::string guid = "248fea99-6c92-49fe-9f94-e804706a4074";
    auto id = [](const std::string& rg, const std::string& vnet) {
        return "/subscriptions/f00d0000-0000-0000-0000-000000000009/resourceGroups/" + rg +
               "/providers/Microsoft.Network/virtualNetworks/" + vnet;
    };
    EXPECT_EQ(VWanMgmt::getVHubNameFromPeering(
                  id("RG_vwan-hub-contoso-westus_" + guid, "HV_vwan-hub-contoso-wes_" + guid)),
              "vwan-hub-contoso-westus");
    EXPECT_EQ(VWanMgmt::getVHubNameFromPeering(id("rg_hub_with_underscores_" + guid, "hv_x")),
              "hub_with_underscores");
    EXPECT_EQ(VWanMgmt::getVHubNameFromPeering(id("RG_plain", "HV_plain")), "plain");
    for (const std::string& other :
         {id("rg-hub", "hub-vnet"), id("RG_hub_" + guid, "spoke"), id("hub", "HV_hub_" + guid),
          id("RG_hub_" + guid, "HV_hub") + "/virtualNetworkPeerings/p1", std::string(),
          std::string("HV_hub"), std::string("/subscriptions/x/resourceGroups/RG_hub")}) {
        EXPECT_EQ(VWanMgmt::getVHubNameFromPeering(other), "") << other;
    }
}

TEST_F(VWanMgmtTest, RemovedConnectionsSurviveAJsonRoundTripAndComeBack) {
    ASSERT_EQ(hubPeerings("spoke-a"), (std::set<std::string>{"hub-east", "hub-west"}));
    const Record removed = VWanMgmt::deleteVHubConnection(vnet("spoke-a"), options);
    EXPECT_EQ(takeLines(), (Lines{"info: - Delete virtual hub connections",
                                  "info:   delete hub connection spoke-a-conn in hub-east",
                                  "info:   delete hub connection spoke-a-west in hub-west"}));
    EXPECT_TRUE(vnet("spoke-a").virtual_network_peerings().empty());
    EXPECT_EQ(hubPeerings("spoke-b"), std::set<std::string>{"hub-east"});

    const Record stored = Record::parse(VWanMgmt::getSerialize(removed).dump());
    ASSERT_EQ(stored.size(), 2u);
    EXPECT_EQ(stored[0]["hubSubscriptionId"], kHubSub);
    EXPECT_EQ(stored[0]["hubRgName"], "rg-hub");
    EXPECT_EQ(stored[0]["hubName"], "hub-east");
    EXPECT_EQ(stored[0]["connectionName"], "spoke-a-conn");
    const Record& props = stored[0]["connection"]["properties"];
    EXPECT_FALSE(props.contains("provisioningState"));
    EXPECT_EQ(props["routingConfiguration"]["vnetRoutes"].dump(),
              R"({"staticRoutes":[{"name":"r1","addressPrefixes":["10.9.0.0/16"],)"
              R"("nextHopIpAddress":"10.1.0.4"}],)"
              R"("staticRoutesConfig":{"vnetLocalRouteOverrideCriteria":"Equal"}})");
    EXPECT_EQ(VWanMgmt::getSerialize(stored), stored);

    VWanMgmt::restoreVhcConnection(vnet("spoke-a"), options, stored);
    EXPECT_EQ(takeLines(), (Lines{"info: - Restore virtual hub connections",
                                  "info:   add hub connection spoke-a-conn to hub-east",
                                  "info:   add hub connection spoke-a-west to hub-west"}));
    auto back =
        client(kHubSub).hub_virtual_network_connections.get("rg-hub", "hub-east", "spoke-a-conn");
    EXPECT_EQ(back.enable_internet_security(), true);
    EXPECT_EQ(back.routing_configuration()["vnetRoutes"]["staticRoutes"],
              props["routingConfiguration"]["vnetRoutes"]["staticRoutes"]);
    EXPECT_EQ(hubPeerings("spoke-a"), (std::set<std::string>{"hub-east", "hub-west"}));
}

TEST_F(VWanMgmtTest, VwanOptionChoosesTheSubscriptionsSearched) {
    const std::string alert =
        "warning:   **Alert** spoke-b is peered with virtual hub hub-east but no connection of "
        "that hub was found";
    options["vwan"] = kSpokeSub;
    EXPECT_TRUE(VWanMgmt::deleteVHubConnection(vnet("spoke-b"), options).empty());
    EXPECT_EQ(takeLines(), (Lines{"info: - Delete virtual hub connections", alert,
                                  "info:   No virtual hub connection found"}));

    options["vwan"] = {"33333333-0000-0000-0000-000000000003"};
    EXPECT_TRUE(VWanMgmt::deleteVHubConnection(vnet("spoke-b"), options).empty());
    EXPECT_EQ(takeLines()[1],
              "error:   **Error** Cannot list virtual hubs. Missing credential for subscription "
              "33333333-0000-0000-0000-000000000003");

    options["vwan"] = 42;
    EXPECT_TRUE(VWanMgmt::deleteVHubConnection(vnet("spoke-b"), options).empty());
    EXPECT_EQ(takeLines()[1],
              "error:   **Error** Option vwan must be null, a boolean, a subscription id or a list "
              "of subscription ids, not 42");

    // A VNet without a hub peering costs no hub listing at all.
    options["vwan"] = nullptr;
    const auto spokeC = vnet("spoke-c");
    emulator_->resetCounters();
    EXPECT_TRUE(VWanMgmt::deleteVHubConnection(spokeC, options).empty());
    EXPECT_EQ(emulator_->counters()["arm_read"], 0);
    EXPECT_TRUE(emulator_->writeLog().empty());
}

TEST_F(VWanMgmtTest, AFailedDeleteIsLeftOutUnlessTheConnectionIsGoing) {
    emulator_->injectFault({{"kind", "lro_failed"},
                            {"method", "DELETE"},
                            {"path", "spoke-a-conn"},
                            {"code", "OperationNotAllowed"},
                            {"message", "hub is busy"}});
    Record removed = VWanMgmt::deleteVHubConnection(vnet("spoke-a"), options);
    ASSERT_EQ(removed.size(), 1u);
    EXPECT_EQ(removed[0]["connectionName"], "spoke-a-west");
    EXPECT_EQ(takeLines()[2],
              "error:   **Error** Failed to delete hub connection spoke-a-conn "
              "-(OperationNotAllowed) hub is busy (DELETE /subscriptions/" +
                  kHubSub +
                  "/resourceGroups/rg-hub/providers/Microsoft.Network/virtualHubs/hub-east/"
                  "hubVirtualNetworkConnections/spoke-a-conn)");
    EXPECT_EQ(hubPeerings("spoke-a"), std::set<std::string>{"hub-east"});

    // The delete was accepted but its status could not be read: it is still recorded.
    emulator_->injectFault({{"method", "GET"}, {"path", "/operations/"}, {"status", 404}});
    removed = VWanMgmt::deleteVHubConnection(vnet("spoke-b"), options);
    ASSERT_EQ(removed.size(), 1u);
    EXPECT_EQ(removed[0]["connectionName"], "spoke-b-conn");
    EXPECT_EQ(takeLines().back(),
              "info:   hub connection spoke-b-conn is being deleted; recorded for restore");
}

TEST_F(VWanMgmtTest, RestoreGoesOnAfterAFailedConnection) {
    Record stored =
        VWanMgmt::getSerialize(VWanMgmt::deleteVHubConnection(vnet("spoke-b"), options));
    Record missingHub = stored[0];
    missingHub["hubName"] = "hub-gone";
    Record malformed = stored[0];
    malformed.erase("connectionName");
    stored = Record::array({missingHub, malformed, stored[0]});
    takeLines();

    VWanMgmt::restoreVhcConnection(vnet("spoke-b"), options, stored);
    const Lines lines = takeLines();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[2].rfind("error:   **Error** Failed to add hub connection spoke-b-conn -(", 0),
              0u)
        << lines[2];
    EXPECT_EQ(lines[3],
              "error:   **Error** Failed to add hub connection #1 -hub connection record 1: "
              "missing \"connectionName\"");
    EXPECT_EQ(lines[4], "info:   add hub connection spoke-b-conn to hub-east");
    EXPECT_EQ(hubPeerings("spoke-b"), std::set<std::string>{"hub-east"});
}

TEST_F(VWanMgmtTest, DryRunReadsAndLogsButWritesNothing) {
    run_.run.dryRun.activate();
    const Record removed = VWanMgmt::deleteVHubConnection(vnet("spoke-a"), options);
    EXPECT_EQ(removed.size(), 2u);
    EXPECT_EQ(takeLines(), (Lines{"info: - Delete virtual hub connections",
                                  "info:   delete hub connection spoke-a-conn in hub-east",
                                  "info:   delete hub connection spoke-a-west in hub-west"}));
    VWanMgmt::restoreVhcConnection(vnet("spoke-a"), options, VWanMgmt::getSerialize(removed));
    EXPECT_EQ(takeLines().size(), 3u);
    EXPECT_TRUE(emulator_->writeLog().empty()) << emulator_->writeLog().dump();
    EXPECT_EQ(hubPeerings("spoke-a"), (std::set<std::string>{"hub-east", "hub-west"}));
}

}  // namespace
}  // namespace dm::testing

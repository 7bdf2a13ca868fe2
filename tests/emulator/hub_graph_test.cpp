// Virtual hub connections and their spoke peerings; the Resource Graph gateway query.
#include "emulator_fixture.hpp"

namespace dm::emu::testing {
namespace {

class HubTest : public EmulatorTest {
  protected:
    const std::string vhub = kNet + "/virtualHubs/vhub-eastus";
    const std::string spokeA = kNet + "/virtualNetworks/spoke-a";
    const std::string spokeB = kNet + "/virtualNetworks/spoke-b";

    Json peerings(const std::string& vnet) {
        return client->get(vnet + "/virtualNetworkPeerings" + kNetVersion).body["value"];
    }
};

TEST_F(HubTest, ConnectionCreatesAndRemovesTheSpokesHubPeering) {
    Json hubPeering = peerings(spokeB);
    ASSERT_EQ(hubPeering.size(), 1u);
    EXPECT_EQ(hubPeering[0]["name"].get<std::string>().rfind("RemoteVnetToHubPeering_", 0), 0u);
    EXPECT_EQ(hubPeering[0]["properties"]["peeringState"], "Connected");
    // The remote side is the hub's managed VNet: RG_<hub>_<guid> / HV_<hub, 20 chars>_<guid>.
    const std::string remote = hubPeering[0]["properties"]["remoteVirtualNetwork"]["id"];
    EXPECT_NE(remote.find("/resourceGroups/RG_vhub-eastus_"), std::string::npos) << remote;
    EXPECT_NE(remote.find("/virtualNetworks/HV_vhub-eastus_"), std::string::npos) << remote;

    Resp r = client->del(spokeB + "/virtualNetworkPeerings/" +
                         hubPeering[0]["name"].get<std::string>() + kNetVersion);
    EXPECT_EQ(r.status, 400);
    EXPECT_EQ(r.body["error"]["code"], "PeeringManagedByVirtualHub");

    client->waitFor(client->del(vhub + "/hubVirtualNetworkConnections/conn-b" + kNetVersion));
    EXPECT_TRUE(peerings(spokeB).empty());

    Resp created = client->put(
        vhub + "/hubVirtualNetworkConnections/conn-a" + kNetVersion,
        {{"properties",
          {{"remoteVirtualNetwork", {{"id", spokeA}}}, {"enableInternetSecurity", false}}}});
    ASSERT_EQ(created.status, 201) << created.text;
    EXPECT_EQ(peerings(spokeA).size(), 1u);  // not yet: the operation is still running
    client->waitFor(created);
    Json after = peerings(spokeA);
    ASSERT_EQ(after.size(), 2u);
    EXPECT_EQ(after[1]["properties"]["remoteVirtualNetwork"]["id"], remote);

    Json conns = client->get(vhub + "/hubVirtualNetworkConnections" + kNetVersion).body["value"];
    ASSERT_EQ(conns.size(), 1u);
    EXPECT_EQ(conns[0]["properties"]["remoteVirtualNetwork"]["id"], spokeA);
    Json hubs = client
                    ->get("/subscriptions/" + kSub + "/providers/Microsoft.Network/virtualHubs" +
                          kNetVersion)
                    .body["value"];
    ASSERT_EQ(hubs.size(), 1u);
    EXPECT_EQ(hubs[0]["name"], "vhub-eastus");
}

TEST_F(HubTest, LockedSpokeRefusesLosingItsHubPeering) {
    ASSERT_EQ(client
                  ->put(spokeB + "/providers/Microsoft.Authorization/locks/keep"
                                 "?api-version=2020-05-01",
                        {{"properties", {{"level", "CanNotDelete"}}}})
                  .status,
              201);
    Resp r = client->del(vhub + "/hubVirtualNetworkConnections/conn-b" + kNetVersion);
    EXPECT_EQ(r.status, 409);
    EXPECT_EQ(r.body["error"]["code"], "ScopeLocked");
    EXPECT_EQ(peerings(spokeB).size(), 1u);
}

class ResourceGraphTest : public EmulatorTest {
  protected:
    Resp query(const std::string& text) {
        return client->post("/providers/Microsoft.ResourceGraph/resources?api-version=2021-03-01",
                            Json{{"subscriptions", {kSub}},
                                 {"query", text},
                                 {"options", {{"resultFormat", "objectArray"}}}}
                                .dump(),
                            "application/json");
    }
    static std::string gatewayQuery(const std::string& vnet) {
        return "Resources | where type =~ 'Microsoft.Network/virtualNetworkGateways' | mvexpand "
               "nics=properties.networkProfile | mvexpand ipconfig=properties.ipConfigurations | "
               "where ipconfig.properties.subnet.id =~ '" +
               kNet + "/virtualNetworks/" + vnet +
               "/subnets/GatewaySubnet' | project properties.gatewayType";
    }
};

TEST_F(ResourceGraphTest, GatewayQueryReturnsOneRowPerMatchingIpConfiguration) {
    Resp r = query(gatewayQuery("SPOKE-A"));  // the subnet id compares case-insensitively
    ASSERT_EQ(r.status, 200) << r.text;
    EXPECT_EQ(r.body["totalRecords"], 1);
    EXPECT_EQ(r.body["count"], 1);
    EXPECT_EQ(r.body["resultTruncated"], "false");
    EXPECT_EQ(r.body["data"], Json::parse(R"([{"properties_gatewayType": "Vpn"}])"));
    EXPECT_EQ(query(gatewayQuery("hub")).body["data"][0]["properties_gatewayType"], "ExpressRoute");
    r = query(gatewayQuery("spoke-b"));
    EXPECT_EQ(r.body["totalRecords"], 0);
    EXPECT_TRUE(r.body["data"].empty());
}

TEST_F(ResourceGraphTest, OtherQueriesAreRefused) {
    Resp r = query("Resources | project name");
    EXPECT_EQ(r.status, 400);
    EXPECT_EQ(r.body["error"]["code"], "BadRequest");
    EXPECT_NE(r.body["error"]["message"].get<std::string>().find("Resources | project name"),
              std::string::npos);
}

}  // namespace
}  // namespace dm::emu::testing

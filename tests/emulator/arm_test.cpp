// ARM network resources: paging, routing, long-running writes and the rules that refuse them.
#include "emulator_fixture.hpp"

namespace dm::emu::testing {
namespace {

class ArmTest : public EmulatorTest {
  protected:
    const std::string spokeA = kNet + "/virtualNetworks/spoke-a";
    const std::string hub = kNet + "/virtualNetworks/hub";
    const std::string app = spokeA + "/subnets/app";
    const std::string locks = kRg +
                              "/providers/Microsoft.Network//virtualNetworks/spoke-a"
                              "/providers/Microsoft.Authorization/locks";

    Json subnetWith(const std::string& routeTable) {
        Json body = client->get(app + kNetVersion).body;
        body["properties"]["routeTable"] = {{"id", kNet + "/routeTables/" + routeTable}};
        return body;
    }
    std::string peeringState(const std::string& vnet, const std::string& name) {
        return client->get(vnet + "/virtualNetworkPeerings/" + name + kNetVersion)
            .body["properties"]
            .value("peeringState", "");
    }
    void putLock(const std::string& level) {
        Resp r = client->put(locks + "/guard?api-version=2020-05-01",
                             {{"properties", {{"level", level}}}});
        ASSERT_EQ(r.status, 201) << r.text;
    }
};

TEST_F(ArmTest, ListsPageThroughAbsoluteNextLinks) {
    emu->setPageSize(2);
    std::string url =
        "/subscriptions/" + kSub + "/providers/Microsoft.Network/virtualNetworks" + kNetVersion;
    std::vector<std::string> names;
    int pages = 0;
    while (!url.empty()) {
        Resp r = client->get(url);
        ASSERT_EQ(r.status, 200) << r.text;
        ++pages;
        for (const auto& v : r.body["value"]) {
            names.push_back(v["name"]);
        }
        url.clear();
        if (r.body.contains("nextLink")) {
            const std::string next = r.body["nextLink"];
            ASSERT_EQ(next.rfind(emu->baseUrl(), 0), 0u) << next;
            EXPECT_NE(next.find("api-version=2024-05-01"), std::string::npos);
            url = next.substr(emu->baseUrl().size());
        }
    }
    EXPECT_EQ(pages, 2);
    EXPECT_EQ(names, (std::vector<std::string>{"spoke-a", "hub", "spoke-b"}));  // topology order
}

TEST_F(ArmTest, PathsAreCaseInsensitiveAndMissingThingsAnswerArmErrors) {
    Resp r = client->get("/SUBSCRIPTIONS/" + kSub +
                         "/resourcegroups/RG1/providers/microsoft.network/VIRTUALNETWORKS/Spoke-A"
                         "/SUBNETS/APP" +
                         kNetVersion);
    ASSERT_EQ(r.status, 200);
    EXPECT_EQ(r.body["id"], app);  // ids keep the stored case
    EXPECT_EQ(client->get(kNet + "/virtualNetworks/nope" + kNetVersion).body["error"]["code"],
              "ResourceNotFound");
    EXPECT_EQ(client->get(app + "x" + kNetVersion).status, 404);
    r = client->get("/subscriptions/" + kSub +
                    "/resourceGroups/rg9/providers/Microsoft.Network/"
                    "virtualNetworks/spoke-a" +
                    kNetVersion);
    EXPECT_EQ(r.body["error"]["code"], "ResourceGroupNotFound");
}

TEST_F(ArmTest, SubnetPutShowsItsGoalAndAppliesWhenItsOperationSucceeds) {
    const std::string rtNew = kNet + "/routeTables/rt-new" + kNetVersion;
    EXPECT_TRUE(client->get(rtNew).body["properties"]["subnets"].empty());
    Resp started = client->put(app + kNetVersion, subnetWith("rt-new"));
    ASSERT_EQ(started.status, 200) << started.text;
    EXPECT_EQ(started.body["properties"]["provisioningState"], "Updating");
    EXPECT_FALSE(started.header("Location").empty());
    EXPECT_EQ(started.header("Retry-After"), "0");

    // While the operation runs, a read shows the state being applied, as ARM does; the route
    // tables' subnet lists still follow the stored association.
    Json during = client->get(app + kNetVersion).body;
    EXPECT_EQ(during["properties"]["provisioningState"], "Updating");
    EXPECT_EQ(during["properties"]["routeTable"]["id"], kNet + "/routeTables/rt-new");
    EXPECT_TRUE(client->get(rtNew).body["properties"]["subnets"].empty());

    int polls = 0;
    EXPECT_EQ(client->waitFor(started, &polls)["status"], "Succeeded");
    EXPECT_EQ(polls, 2);  // one InProgress (the default), then Succeeded

    Json after = client->get(app + kNetVersion).body;
    EXPECT_EQ(after["properties"]["provisioningState"], "Succeeded");
    EXPECT_EQ(after["properties"]["routeTable"]["id"], kNet + "/routeTables/rt-new");
    EXPECT_EQ(after["properties"]["networkSecurityGroup"]["id"],
              kNet + "/networkSecurityGroups/nsg-app");
    // The route tables' read-only subnet lists follow the association.
    EXPECT_EQ(client->get(rtNew).body["properties"]["subnets"], Json::array({{{"id", app}}}));
    EXPECT_TRUE(client->get(kNet + "/routeTables/rt-app" + kNetVersion)
                    .body["properties"]["subnets"]
                    .empty());
}

TEST_F(ArmTest, PutReplacesTheWholeResourceAndKeepsUnknownProperties) {
    Json body = client->get(app + kNetVersion).body;
    body["properties"].erase("routeTable");
    body["properties"]["futureSetting"] = {{"mode", "strict"}, {"level", 3}};
    client->waitFor(client->put(app + kNetVersion, body));
    Json after = client->get(app + kNetVersion).body["properties"];
    EXPECT_FALSE(after.contains("routeTable"));
    EXPECT_EQ(after["futureSetting"], body["properties"]["futureSetting"]);

    Json rt = client->get(kNet + "/routeTables/rt-app" + kNetVersion).body;
    rt["properties"]["disableBgpRoutePropagation"] = true;
    rt["properties"].erase("routes");
    rt.erase("tags");
    client->waitFor(client->put(kNet + "/routeTables/rt-app" + kNetVersion, rt));
    rt = client->get(kNet + "/routeTables/rt-app" + kNetVersion).body;
    EXPECT_EQ(rt["properties"]["disableBgpRoutePropagation"], true);
    EXPECT_FALSE(rt["properties"].contains("routes"));
    EXPECT_FALSE(rt.contains("tags"));
}

TEST_F(ArmTest, SubnetPutNamingAMissingOrForeignRouteTableFails) {
    for (const std::string rt : {"rt-gone", "rt-west"}) {
        Resp r = client->put(app + kNetVersion, subnetWith(rt));
        EXPECT_EQ(r.status, 400) << rt;
        EXPECT_EQ(r.body["error"]["code"], "InvalidResourceReference");
        EXPECT_NE(r.body["error"]["message"].get<std::string>().find("/routeTables/" + rt),
                  std::string::npos);
    }
    EXPECT_EQ(client->get(app + kNetVersion).body["properties"]["routeTable"]["id"],
              kNet + "/routeTables/rt-app");
    EXPECT_TRUE(emu->writeLog().empty());
}

TEST_F(ArmTest, ReadOnlyLockRefusesEveryWriteUnderTheVnet) {
    putLock("ReadOnly");
    Resp r = client->put(app + kNetVersion, subnetWith("rt-new"));
    EXPECT_EQ(r.status, 409);
    EXPECT_EQ(r.body["error"]["code"], "ScopeLocked");
    EXPECT_EQ(client->del(spokeA + "/virtualNetworkPeerings/to-hub" + kNetVersion).status, 409);
    // Outside the locked scope writes go on.
    Json rt = client->get(kNet + "/routeTables/rt-new" + kNetVersion).body;
    EXPECT_EQ(client->put(kNet + "/routeTables/rt-new" + kNetVersion, rt).status, 200);
}

TEST_F(ArmTest, CanNotDeleteLockRefusesPeeringDeletesUntilRemoved) {
    putLock("CanNotDelete");
    const std::string peering = spokeA + "/virtualNetworkPeerings/to-hub" + kNetVersion;
    Resp r = client->del(peering);
    EXPECT_EQ(r.status, 409);
    EXPECT_EQ(r.body["error"]["code"], "ScopeLocked");
    EXPECT_NE(r.body["error"]["message"].get<std::string>().find("locked: '" + spokeA + "'"),
              std::string::npos);
    EXPECT_EQ(client->del(spokeA + kNetVersion).status, 409);
    EXPECT_EQ(client->put(app + kNetVersion, subnetWith("rt-new")).status, 200);  // not a delete

    Resp listed = client->get(locks + "?api-version=2020-05-01");
    ASSERT_EQ(listed.body["value"].size(), 1u);
    EXPECT_EQ(listed.body["value"][0]["name"], "guard");
    EXPECT_EQ(listed.body["value"][0]["properties"]["level"], "CanNotDelete");
    EXPECT_EQ(client->del(locks + "/guard?api-version=2020-05-01").status, 200);
    EXPECT_EQ(client->del(locks + "/guard?api-version=2020-05-01").status, 204);

    Resp started = client->del(peering);
    ASSERT_EQ(started.status, 202);
    EXPECT_EQ(client->waitFor(started)["status"], "Succeeded");
    EXPECT_EQ(client->get(peering).status, 404);
}

TEST_F(ArmTest, PeeringIsConnectedOnlyWhileBothEndsExist) {
    EXPECT_EQ(peeringState(spokeA, "to-hub"), "Connected");
    client->waitFor(client->del(hub + "/virtualNetworkPeerings/to-a" + kNetVersion));
    EXPECT_EQ(peeringState(spokeA, "to-hub"), "Disconnected");

    Json body = client->get(spokeA + "/virtualNetworkPeerings/to-hub" + kNetVersion).body;
    Resp r = client->put(spokeA + "/virtualNetworkPeerings/to-hub" + kNetVersion, body);
    EXPECT_EQ(r.status, 400);
    EXPECT_EQ(r.body["error"]["code"], "RemotePeeringIsDisconnected");

    // Re-create local then remote: Initiated, then Connected on both sides.
    client->waitFor(client->del(spokeA + "/virtualNetworkPeerings/to-hub" + kNetVersion));
    const Json toHub = {{"properties", {{"remoteVirtualNetwork", {{"id", hub}}}}}};
    client->waitFor(client->put(spokeA + "/virtualNetworkPeerings/to-hub" + kNetVersion, toHub));
    EXPECT_EQ(peeringState(spokeA, "to-hub"), "Initiated");
    const Json toA = {{"properties", {{"remoteVirtualNetwork", {{"id", spokeA}}}}}};
    Resp created = client->put(hub + "/virtualNetworkPeerings/to-a" + kNetVersion, toA);
    EXPECT_EQ(created.status, 201);
    client->waitFor(created);
    EXPECT_EQ(peeringState(spokeA, "to-hub"), "Connected");
    EXPECT_EQ(peeringState(hub, "to-a"), "Connected");

    // Deleting a whole VNet disconnects the peerings that point at it.
    const std::string all = kRg + "/providers/Microsoft.Network/virtualNetworks" + kNetVersion;
    EXPECT_EQ(client->get(all).body["value"].size(), 3u);
    client->waitFor(client->del(hub + kNetVersion));
    EXPECT_EQ(client->get(hub + kNetVersion).status, 404);
    EXPECT_EQ(client->get(all).body["value"].size(), 2u);
    EXPECT_EQ(peeringState(spokeA, "to-hub"), "Disconnected");
}

TEST_F(ArmTest, UseRemoteGatewaysNeedsAGatewayOnTheRemoteVnet) {
    const std::string spokeB = kNet + "/virtualNetworks/spoke-b";
    Resp r =
        client->put(spokeA + "/virtualNetworkPeerings/to-b" + kNetVersion,
                    {{"properties",
                      {{"remoteVirtualNetwork", {{"id", spokeB}}}, {"useRemoteGateways", true}}}});
    EXPECT_EQ(r.status, 400);
    EXPECT_EQ(r.body["error"]["code"], "RemoteVnetHasNoGateways");
    r = client->put(spokeB + "/virtualNetworkPeerings/to-a" + kNetVersion,
                    {{"properties",
                      {{"remoteVirtualNetwork", {{"id", spokeA}}}, {"useRemoteGateways", true}}}});
    EXPECT_EQ(r.status, 201) << r.text;
}

}  // namespace
}  // namespace dm::emu::testing

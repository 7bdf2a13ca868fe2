// Remote-gateway use in peerings against the emulator: what is turned off, what is skipped, what
// the stored list brings back, and that a dry run writes nothing.
#include "library_fixture.hpp"

namespace {

using dm::Record;
using dm::arm::SwitchTraffic;
using dm::emu::Json;

const std::string kSub = "33333333-aaaa-bbbb-cccc-000000000003";

std::string vnetId(const std::string& group, const std::string& name) {
    return "/subscriptions/" + kSub + "/resourceGroups/" + group +
           "/providers/Microsoft.Network/virtualNetworks/" + name;
}

std::string peeringId(const std::string& name) {
    return vnetId("rg-spoke", "spoke1") + "/virtualNetworkPeerings/" + name;
}

Json peering(const std::string& name, const std::string& remote, bool useRemote) {
    return {{"name", name},
            {"remoteVirtualNetwork", vnetId("rg-hub", remote)},
            {"allowForwardedTraffic", true},
            {"useRemoteGateways", useRemote}};
}

Json gatewayVnet(const std::string& name, const std::string& cidr) {
    return {{"name", name},
            {"addressPrefixes", {cidr}},
            {"virtualNetworkPeerings",
             {{{"name", name + "-to-spoke1"},
               {"remoteVirtualNetwork", vnetId("rg-spoke", "spoke1")},
               {"allowGatewayTransit", true}}}}};
}

// spoke1 uses the gateways of hub1, hub2 and the transit; its peering to shared does not. The
// hub connection gives spoke1 a hub peering that also uses remote gateways.
Json topology() {
    return {
        {"subscriptions",
         {{{"id", kSub},
           {"resourceGroups",
            {{{"name", "rg-spoke"},
              {"virtualNetworks",
               {{{"name", "spoke1"},
                 {"addressPrefixes", {"10.1.0.0/16"}},
                 {"virtualNetworkPeerings",
                  {peering("to-hub1", "hub1", true), peering("to-shared", "shared", false),
                   peering("tl-peer-transit", "transit", true), peering("to-hub2", "hub2", true)}}},
                {{"name", "lonely"}, {"addressPrefixes", {"10.9.0.0/16"}}}}}},
             {{"name", "rg-hub"},
              {"virtualNetworks",
               {gatewayVnet("hub1", "10.100.0.0/16"), gatewayVnet("hub2", "10.101.0.0/16"),
                gatewayVnet("transit", "10.102.0.0/16"), gatewayVnet("shared", "10.103.0.0/16")}},
              {"virtualNetworkGateways",
               {{{"name", "gw-hub1"}, {"gatewayType", "Vpn"}, {"virtualNetwork", "hub1"}},
                {{"name", "gw-hub2"}, {"gatewayType", "Vpn"}, {"virtualNetwork", "hub2"}},
                {{"name", "gw-transit"}, {"gatewayType", "Vpn"}, {"virtualNetwork", "transit"}}}},
              {"virtualHubs",
               {{{"name", "vhub1"},
                 {"addressPrefix", "10.200.0.0/23"},
                 {"hubVirtualNetworkConnections",
                  {{{"name", "spoke1-conn"},
                    {"remoteVirtualNetwork", vnetId("rg-spoke", "spoke1")}}}}}}}}}}}}}};
}

class RemoteGatewaysTest : public dm::testing::LibraryFixture {
  protected:
    void SetUp() override {
        LibraryFixture::SetUp();
        startCloud(topology());
    }

    // Drops the lines logged so far; the old capture must let go of the logger first.
    void restartCapture() {
        log_.reset();
        log_ = std::make_unique<dm::testing::LogCapture>(
            std::vector<std::string>{dm::arm::kLibraryLoggerName});
    }

    dm::azure::VirtualNetwork spoke() const { return vnet(kSub, "rg-spoke", "spoke1"); }

    // The name of the peering the hub connection gave spoke1.
    std::string hubPeeringName() const {
        for (const auto& p : spoke().virtual_network_peerings()) {
            if (p.name().rfind("RemoteVnetToHubPeering_", 0) == 0)
                return p.name();
        }
        throw std::runtime_error("spoke1 has no hub peering");
    }

    // useRemoteGateways of a spoke1 peering once every started update has completed.
    bool usesRemoteGateways(const std::string& name) {
        cloud().dump();
        return cloud().resource(peeringId(name))["properties"]["useRemoteGateways"].get<bool>();
    }

    // Each write as "<method> <peering name> useRemoteGateways=<flag>".
    std::vector<std::string> peeringWrites() const {
        std::vector<std::string> out;
        for (const auto& w : writeLog()) {
            const std::string path = w["path"];
            out.push_back(
                w["method"].get<std::string>() + " " + path.substr(path.rfind('/') + 1) +
                " useRemoteGateways=" + w["body"]["properties"]["useRemoteGateways"].dump());
        }
        return out;
    }

    std::vector<std::string> disableLines() const {
        return {"info: - Disable use_remote_gateways in peerings",
                "info:   disable use_remote_gateways in peering to-hub1",
                "info:   controller created peering tl-peer-transit -- skipped",
                "info:   disable use_remote_gateways in peering to-hub2",
                "info:   virtual hub connection " + hubPeeringName() + " -- skipped"};
    }
};

TEST_F(RemoteGatewaysTest, DisablesOnlyNativePeeringsThatUseRemoteGateways) {
    Record list = SwitchTraffic::disableUseRemoteGwInPeering(kSub, client(kSub), spoke(),
                                                             std::string("tl-peer-"));

    EXPECT_EQ(lines(), disableLines());
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].dump(),
              Record({{"localSubscriptionId", kSub},
                      {"localRgName", "rg-spoke"},
                      {"localVnetName", "spoke1"},
                      {"localPeeringName", "to-hub1"},
                      {"localPeering",
                       {{"id", peeringId("to-hub1")},
                        {"name", "to-hub1"},
                        {"allow_virtual_network_access", true},
                        {"allow_forwarded_traffic", true},
                        {"allow_gateway_transit", false},
                        {"use_remote_gateways", true},
                        {"remote_virtual_network", {{"id", vnetId("rg-hub", "hub1")}}}}}})
                  .dump());
    EXPECT_EQ(list[1]["localPeeringName"], "to-hub2");

    EXPECT_EQ(peeringWrites(), (std::vector<std::string>{"PUT to-hub1 useRemoteGateways=false",
                                                         "PUT to-hub2 useRemoteGateways=false"}));
    // The whole peering goes back, so its other settings survive the update.
    EXPECT_EQ(writeLog()[0]["body"]["properties"]["allowForwardedTraffic"], true);
    EXPECT_FALSE(usesRemoteGateways("to-hub1"));
    EXPECT_FALSE(usesRemoteGateways("to-hub2"));
    EXPECT_TRUE(usesRemoteGateways("tl-peer-transit"));
    EXPECT_TRUE(usesRemoteGateways(hubPeeringName()));
}

TEST_F(RemoteGatewaysTest, RefusedUpdateIsAnAlertAndLeavesThePeeringOffTheList) {
    cloud().injectFault({{"method", "PUT"},
                         {"path", "virtualNetworkPeerings/to-hub1$"},
                         {"status", 409},
                         {"code", "ScopeLocked"},
                         {"message", "The scope is locked."}});
    Record list = SwitchTraffic::disableUseRemoteGwInPeering(kSub, client(kSub), spoke(),
                                                             std::string("tl-peer-"));

    auto expected = disableLines();
    expected.insert(expected.begin() + 2,
                    "warning:   **Alert** (ScopeLocked) The scope is locked.");
    EXPECT_EQ(lines(), expected);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0]["localPeeringName"], "to-hub2");
    EXPECT_TRUE(usesRemoteGateways("to-hub1"));
}

TEST_F(RemoteGatewaysTest, DryRunReadsAndLogsTheSameButWritesNothing) {
    dryRun();
    Record dryList = SwitchTraffic::disableUseRemoteGwInPeering(kSub, client(kSub), spoke(),
                                                                std::string("tl-peer-"));
    const auto dryLines = lines();
    EXPECT_TRUE(writeLog().empty());
    EXPECT_TRUE(usesRemoteGateways("to-hub1"));
    for (const auto& record : dryList)
        EXPECT_EQ(record["localPeering"]["use_remote_gateways"], true);

    dryRun(false);
    restartCapture();
    Record realList = SwitchTraffic::disableUseRemoteGwInPeering(kSub, client(kSub), spoke(),
                                                                 std::string("tl-peer-"));
    EXPECT_EQ(dryLines, lines());
    EXPECT_EQ(dryList.dump(), realList.dump());
}

TEST_F(RemoteGatewaysTest, StoredListRestoresTheRestWhenOnePeeringWasDeleted) {
    auto net = client(kSub);
    const Record stored =
        SwitchTraffic::disableUseRemoteGwInPeering(kSub, net, spoke(), std::string("tl-peer-"));
    const Record list = Record::parse(stored.dump());  // as the revert record gives it back
    net.virtual_network_peerings.begin_delete("rg-spoke", "spoke1", "to-hub1").result();
    cloud().clearWriteLog();
    restartCapture();

    SwitchTraffic::restoreUseRemoteGwInPeering(net, list);

    EXPECT_EQ(lines(),
              (std::vector<std::string>{"info: - Restore use_remote_gateways in peering",
                                        "warning:   **Alert** (NotFound) Resource " +
                                            peeringId("to-hub1") + " not found.",
                                        "info:   set use_remote_gateways to True in to-hub2"}));
    EXPECT_EQ(peeringWrites(), std::vector<std::string>{"PUT to-hub2 useRemoteGateways=true"});
    EXPECT_TRUE(usesRemoteGateways("to-hub2"));
}

TEST_F(RemoteGatewaysTest, DryRunRestoreLogsEveryPeeringAndWritesNothing) {
    auto net = client(kSub);
    const Record list =
        SwitchTraffic::disableUseRemoteGwInPeering(kSub, net, spoke(), std::string("tl-peer-"));
    cloud().dump();  // let the updates finish before the log is cleared
    cloud().clearWriteLog();
    restartCapture();
    dryRun();

    SwitchTraffic::restoreUseRemoteGwInPeering(net, list);

    EXPECT_EQ(lines(),
              (std::vector<std::string>{"info: - Restore use_remote_gateways in peering",
                                        "info:   set use_remote_gateways to True in to-hub1",
                                        "info:   set use_remote_gateways to True in to-hub2"}));
    EXPECT_TRUE(writeLog().empty());
    EXPECT_FALSE(usesRemoteGateways("to-hub1"));
}

TEST_F(RemoteGatewaysTest, NothingToDoOnAVnetWithoutPeeringsOrAnEmptyList) {
    auto net = client(kSub);
    Record list =
        SwitchTraffic::disableUseRemoteGwInPeering(kSub, net, vnet(kSub, "rg-spoke", "lonely"));
    SwitchTraffic::restoreUseRemoteGwInPeering(net, list);

    EXPECT_EQ(list, Record::array());
    EXPECT_EQ(lines(), (std::vector<std::string>{"info: - Disable use_remote_gateways in peerings",
                                                 "info:   No peering found",
                                                 "info: - Restore use_remote_gateways in peering",
                                                 "info:   no peering needs to be restored"}));
    EXPECT_TRUE(writeLog().empty());
}

}  // namespace

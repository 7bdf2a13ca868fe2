// Peering removal and restore against the emulator: skip rules, both ends deleted in order, the
// stored pair list re-creating what was deleted, and the dry run.
#include <array>
#include <thread>

#include "dm/arm/kept_listings.hpp"
#include "library_fixture.hpp"

namespace {

using dm::Record;
using dm::arm::SwitchTraffic;
using dm::emu::Json;

const std::string kSpoke = "44444444-aaaa-bbbb-cccc-000000000004";
const std::string kHub = "55555555-aaaa-bbbb-cccc-000000000005";
const std::string kForeign = "66666666-aaaa-bbbb-cccc-000000000006";  // no credential

std::string vnetId(const std::string& sub, const std::string& rg, const std::string& name) {
    return "/subscriptions/" + sub + "/resourceGroups/" + rg +
           "/providers/Microsoft.Network/virtualNetworks/" + name;
}
const std::string kA = vnetId(kSpoke, "rg-spoke", "spoke-a");
const std::string kB = vnetId(kSpoke, "rg-spoke", "spoke-b");
const std::string kT = vnetId(kHub, "rg-transit", "transit-vnet");

// spoke-a has one peering of each kind the operation tells apart; spoke-b one plain pair to the
// transit. The transit's peering back at spoke-a names it in other letter cases.
Json topology() {
    std::string text = R"({"subscriptions": [
 {"id": "$S", "resourceGroups": [
  {"name": "rg-spoke", "virtualNetworks": [
   {"name": "spoke-a", "addressPrefixes": ["10.1.0.0/16"], "virtualNetworkPeerings": [
     {"name": "tl-peer-spoke-a", "remoteVirtualNetwork": "$T"},
     {"name": "spoke-a-to-transit", "remoteVirtualNetwork": "$T", "allowForwardedTraffic": true},
     {"name": "spoke-a-to-shared", "remoteVirtualNetwork":
        "/subscriptions/$S/resourceGroups/rg-shared/providers/Microsoft.Network/virtualNetworks/shared-vnet"},
     {"name": "spoke-a-to-orphan", "remoteVirtualNetwork":
        "/subscriptions/$H/resourceGroups/rg-transit/providers/Microsoft.Network/virtualNetworks/orphan-vnet"},
     {"name": "spoke-a-to-foreign", "remoteVirtualNetwork":
        "/subscriptions/$F/resourceGroups/rg-foreign/providers/Microsoft.Network/virtualNetworks/foreign-vnet"}]},
   {"name": "spoke-b", "addressPrefixes": ["10.2.0.0/16"], "virtualNetworkPeerings": [
     {"name": "spoke-b-to-transit", "remoteVirtualNetwork": "$T", "allowForwardedTraffic": true,
      "useRemoteGateways": true}]}]},
  {"name": "rg-shared", "virtualNetworks": [
   {"name": "shared-vnet", "addressPrefixes": ["10.3.0.0/16"], "virtualNetworkPeerings": [
     {"name": "shared-to-spoke-a", "remoteVirtualNetwork": "$A"}]}]}]},
 {"id": "$H", "resourceGroups": [
  {"name": "rg-transit", "virtualNetworks": [
   {"name": "transit-vnet", "addressPrefixes": ["10.250.0.0/23"],
    "subnets": [{"name": "GatewaySubnet", "addressPrefix": "10.250.1.0/27"}],
    "virtualNetworkPeerings": [
     {"name": "transit-to-spoke-a", "allowGatewayTransit": true, "remoteVirtualNetwork":
        "/subscriptions/$S/resourceGroups/RG-SPOKE/providers/Microsoft.Network/virtualNetworks/Spoke-A"},
     {"name": "transit-to-spoke-b", "remoteVirtualNetwork": "$B", "allowGatewayTransit": true,
      "allowVirtualNetworkAccess": false}]},
   {"name": "orphan-vnet", "addressPrefixes": ["10.251.0.0/16"]}],
   "virtualNetworkGateways": [{"name": "transit-vng", "gatewayType": "Vpn",
                               "virtualNetwork": "transit-vnet"}],
   "virtualHubs": [{"name": "hub-eastus", "addressPrefix": "10.100.0.0/24",
     "hubVirtualNetworkConnections": [{"name": "conn-spoke-a", "remoteVirtualNetwork": "$A"}]}]}]},
 {"id": "$F", "resourceGroups": [
  {"name": "rg-foreign", "virtualNetworks": [
   {"name": "foreign-vnet", "addressPrefixes": ["10.4.0.0/16"], "virtualNetworkPeerings": [
     {"name": "foreign-to-spoke-a", "remoteVirtualNetwork": "$A"}]}]}]}]})";
    const std::vector<std::pair<std::string, std::string>> values = {
        {"$T", kT}, {"$A", kA}, {"$B", kB}, {"$S", kSpoke}, {"$H", kHub}, {"$F", kForeign}};
    for (const auto& [key, value] : values) {
        for (auto at = text.find(key); at != std::string::npos; at = text.find(key))
            text.replace(at, 2, value);
    }
    return Json::parse(text);
}

class PeeringsTest : public dm::testing::LibraryFixture {
  protected:
    void start(Json topo = topology()) { startCloud(std::move(topo), {kSpoke, kHub}); }

    Record deleteFrom(const std::string& vnetName, const std::string& mode, bool locks = false) {
        const auto local = client(kSpoke);
        return SwitchTraffic::deletePeerings(
            {{"delete_peering", mode}, {"delete_vnet_lock", locks}}, kSpoke,
            vnet(kSpoke, "rg-spoke", vnetName), &local, std::string("tl-peer-"));
    }

    // Lines without the debug detail of the remote lookup.
    std::vector<std::string> progress() const {
        std::vector<std::string> out;
        for (const auto& l : lines())
            if (l.rfind("debug: ", 0) != 0)
                out.push_back(l);
        return out;
    }

    // "<method> <path after /virtualNetworks/>" for each write.
    std::vector<std::string> writes() const {
        std::vector<std::string> out;
        for (const auto& w : writeLog()) {
            const std::string path = w["path"];
            out.push_back(w["method"].get<std::string>() + " " +
                          path.substr(path.find("/virtualNetworks/") + 17));
        }
        return out;
    }

    std::vector<std::string> peeringNames(const std::string& sub, const std::string& rg,
                                          const std::string& vnetName) const {
        std::vector<std::string> out;
        for (const auto& p : client(sub).virtual_network_peerings.list(rg, vnetName))
            out.push_back(p.name());
        return out;
    }

    std::string hubPeering() const {
        for (const auto& p : peeringNames(kSpoke, "rg-spoke", "spoke-a"))
            if (p.rfind("RemoteVnetToHubPeering_", 0) == 0)
                return p;
        return "none";
    }

    void restartLog() {
        log_.reset();  // gives the logger its sinks back before the new capture saves them
        log_ = std::make_unique<dm::testing::LogCapture>(
            std::vector<std::string>{dm::arm::kLibraryLoggerName});
    }
};

Record snapshot(const std::string& id, const std::string& remote, bool access, bool forwarded,
                bool transit, bool useRemote) {
    return {{"id", id},
            {"name", id.substr(id.rfind('/') + 1)},
            {"allow_virtual_network_access", access},
            {"allow_forwarded_traffic", forwarded},
            {"allow_gateway_transit", transit},
            {"use_remote_gateways", useRemote},
            {"remote_virtual_network", {{"id", remote}}}};
}

std::vector<std::string> gatewayModeLines(const std::string& hubPeering) {
    return {"info: - Delete peerings",
            "info:   controller created peering tl-peer-spoke-a -- skipped",
            "info:   delete peering spoke-a-to-transit",
            "info:   delete peering transit-to-spoke-a",
            "info:   peering between spoke-a-to-shared and shared-to-spoke-a -- skipped, as "
            "remote peer's allow-gateway-transit flag is False",
            "info:   failed to found remote peering info for spoke-a-to-orphan",
            "error:   **Error** no peering of VNet orphan-vnet points back at spoke-a",
            "error:   **Error** Cannot delete peering. Missing credential for remote "
            "subscription " +
                kForeign,
            "info:   virtual hub connection " + hubPeering + " -- skipped"};
}

TEST_F(PeeringsTest, DeletesGatewayTransitPairsAndSkipsEveryOtherKind) {
    start();
    const std::string hub = hubPeering();
    const Record pairs = deleteFrom("spoke-a", "gateway-only");

    EXPECT_EQ(progress(), gatewayModeLines(hub));
    const Record expected = Record::array(
        {{{"localSubscriptionId", kSpoke},
          {"localRgName", "rg-spoke"},
          {"localVnetName", "spoke-a"},
          {"localPeeringName", "spoke-a-to-transit"},
          {"localPeering", snapshot(kA + "/virtualNetworkPeerings/spoke-a-to-transit", kT, true,
                                    true, false, false)},
          {"remoteSubscriptionId", kHub},
          {"remoteRgName", "rg-transit"},
          {"remoteVnetName", "transit-vnet"},
          {"remotePeeringName", "transit-to-spoke-a"},
          {"remotePeering",
           snapshot(kT + "/virtualNetworkPeerings/transit-to-spoke-a",
                    vnetId(kSpoke, "RG-SPOKE", "Spoke-A"), true, false, true, false)}}});
    EXPECT_EQ(pairs.dump(), expected.dump());  // key order included
    EXPECT_EQ(writes(), (std::vector<std::string>{
                            "DELETE spoke-a/virtualNetworkPeerings/spoke-a-to-transit",
                            "DELETE transit-vnet/virtualNetworkPeerings/transit-to-spoke-a"}));
    EXPECT_EQ(peeringNames(kHub, "rg-transit", "transit-vnet"),
              std::vector<std::string>{"transit-to-spoke-b"});
    EXPECT_EQ(peeringNames(kSpoke, "rg-spoke", "spoke-a").size(), 5u);
}

TEST_F(PeeringsTest, AllDeletesPairsWhateverTheRemoteTransitFlag) {
    start();
    const Record pairs = deleteFrom("spoke-a", "all");
    ASSERT_EQ(pairs.size(), 2u);
    EXPECT_EQ(pairs[1]["remotePeeringName"], "shared-to-spoke-a");
    EXPECT_EQ(pairs[1]["remotePeering"]["allow_gateway_transit"], false);
    EXPECT_EQ(writes(), (std::vector<std::string>{
                            "DELETE spoke-a/virtualNetworkPeerings/spoke-a-to-transit",
                            "DELETE transit-vnet/virtualNetworkPeerings/transit-to-spoke-a",
                            "DELETE spoke-a/virtualNetworkPeerings/spoke-a-to-shared",
                            "DELETE shared-vnet/virtualNetworkPeerings/shared-to-spoke-a"}));
}

TEST_F(PeeringsTest, DryRunReadsAndLogsLikeARealRunWithNestedLockRemoval) {
    Json topo = topology();
    topo["locks"] =
        Json::array({{{"scope", kT}, {"name", "no-delete"}, {"level", "CanNotDelete"}}});
    start(topo);
    const std::string hub = hubPeering();
    dryRun();
    const Record dry = deleteFrom("spoke-a", "gateway-only", /*locks=*/true);
    EXPECT_TRUE(writeLog().empty());
    const auto dryLines = lines();

    dryRun(false);
    restartLog();
    const Record real = deleteFrom("spoke-a", "gateway-only", /*locks=*/true);
    EXPECT_EQ(dryLines, lines());
    EXPECT_EQ(dry, real);
    auto expected = gatewayModeLines(hub);
    expected.insert(expected.begin() + 2, {"info:   - Delete vnet lock in transit-vnet",
                                           "info:     delete lock no-delete"});
    EXPECT_EQ(progress(), expected);
    // Without the lock gone first, the remote end would be refused.
    EXPECT_EQ(writes(), (std::vector<std::string>{
                            "DELETE transit-vnet/providers/Microsoft.Authorization/locks/no-delete",
                            "DELETE spoke-a/virtualNetworkPeerings/spoke-a-to-transit",
                            "DELETE transit-vnet/virtualNetworkPeerings/transit-to-spoke-a"}));
}

TEST_F(PeeringsTest, FailedLocalDeleteIsReportedAndTheRemoteEndStays) {
    start();
    cloud().injectFault({{"kind", "lro_failed"},
                         {"method", "DELETE"},
                         {"path", "spoke-b-to-transit"},
                         {"code", "PeeringBusy"},
                         {"message", "busy"}});
    const Record pairs = deleteFrom("spoke-b", "all");
    EXPECT_EQ(progress(),
              (std::vector<std::string>{
                  "info: - Delete peerings", "info:   delete peering spoke-b-to-transit",
                  "error:   **Error** Failed to delete peering spoke-b-to-transit "
                  "-(PeeringBusy) busy (DELETE " +
                      kB + "/virtualNetworkPeerings/spoke-b-to-transit)",
                  "info:   peering transit-to-spoke-b of transit-vnet kept, as its other end is "
                  "still there"}));
    EXPECT_EQ(pairs.size(), 1u);
    EXPECT_EQ(peeringNames(kSpoke, "rg-spoke", "spoke-b"),
              std::vector<std::string>{"spoke-b-to-transit"});
    EXPECT_EQ(peeringNames(kHub, "rg-transit", "transit-vnet"),
              (std::vector<std::string>{"transit-to-spoke-a", "transit-to-spoke-b"}));
}

TEST_F(PeeringsTest, StoredListRecreatesBothEndsWithTheirFlags) {
    start();
    auto before = [&] {
        return std::vector<Json>{
            cloud().resource(kB + "/virtualNetworkPeerings/spoke-b-to-transit")["properties"],
            cloud().resource(kT + "/virtualNetworkPeerings/transit-to-spoke-b")["properties"]};
    };
    const auto original = before();
    const std::string stored = deleteFrom("spoke-b", "all").dump();
    cloud().clearWriteLog();
    restartLog();

    SwitchTraffic::addPeerings(Record::parse(stored));
    EXPECT_EQ(lines(), (std::vector<std::string>{
                           "info: - Restore peerings",
                           "info:   add local peering spoke-b-to-transit to spoke-b",
                           "info:   add remote peering transit-to-spoke-b to transit-vnet"}));
    EXPECT_EQ(writes(), (std::vector<std::string>{
                            "PUT spoke-b/virtualNetworkPeerings/spoke-b-to-transit",
                            "PUT transit-vnet/virtualNetworkPeerings/transit-to-spoke-b"}));
    const auto now = before();
    for (size_t i = 0; i < 2; ++i) {
        for (const char* key : {"allowVirtualNetworkAccess", "allowForwardedTraffic",
                                "allowGatewayTransit", "useRemoteGateways", "remoteVirtualNetwork"})
            EXPECT_EQ(now[i][key], original[i][key]) << key;
        EXPECT_EQ(now[i]["peeringState"], "Connected");
    }
}

TEST_F(PeeringsTest, KeptListingsFollowTheDeletesAndRecreationsOfAnAccountRun) {
    start();
    auto& kept = dm::arm::keptListings();
    kept.startAccount();
    auto transitNames = [&] {
        std::vector<std::string> out;
        for (const auto& p : *kept.peerings(client(kHub), "rg-transit", "transit-vnet"))
            out.push_back(p.name());
        return out;
    };
    const std::string stored = deleteFrom("spoke-b", "all").dump();
    const auto reads = cloud().counters()["arm_read"];
    EXPECT_EQ(transitNames(), std::vector<std::string>{"transit-to-spoke-a"});
    EXPECT_EQ(cloud().counters()["arm_read"], reads);  // the kept list, without the deleted end

    SwitchTraffic::addPeerings(Record::parse(stored));
    EXPECT_EQ(transitNames().size(), 2u);
    EXPECT_EQ(transitNames(), peeringNames(kHub, "rg-transit", "transit-vnet"));
    kept.endAccount();
}

// VNets of one account on two threads ask for the same listing at once: it is read once, and
// both get that read's list.
TEST_F(PeeringsTest, KeptListingsReadOnceForTwoThreads) {
    start();
    auto& kept = dm::arm::keptListings();
    kept.startAccount();
    const auto clients = std::array{client(kHub), client(kHub)};
    std::array<dm::arm::KeptListings::List<dm::azure::VirtualNetworkPeering>, 2> lists;
    const auto reads = cloud().counters()["arm_read"].get<int>();
    cloud().setLatencyMs(50);  // so that the second asks while the first read is under way
    std::thread other([&] { lists[1] = kept.peerings(clients[1], "rg-transit", "transit-vnet"); });
    lists[0] = kept.peerings(clients[0], "rg-transit", "transit-vnet");
    other.join();
    cloud().setLatencyMs(0);
    EXPECT_EQ(cloud().counters()["arm_read"], reads + 1);
    ASSERT_TRUE(lists[0]);
    EXPECT_EQ(lists[0], lists[1]);
    EXPECT_EQ(lists[0]->size(), 2u);
    kept.endAccount();
}

TEST_F(PeeringsTest, RestoreReportsBadRecordsAndGoesOn) {
    start();
    const Record pair = deleteFrom("spoke-b", "all")[0];
    cloud().clearWriteLog();
    Record missingKey = pair;
    missingKey.erase("remotePeering");
    Record foreignLocal = pair;
    foreignLocal["localSubscriptionId"] = kForeign;
    cloud().injectFault({{"kind", "lro_failed"},
                         {"method", "PUT"},
                         {"path", "transit-to-spoke-b"},
                         {"code", "Conflict"},
                         {"message", "no"}});
    restartLog();
    SwitchTraffic::addPeerings(Record::array({missingKey, foreignLocal}));
    EXPECT_EQ(lines(), (std::vector<std::string>{
                           "info: - Restore peerings",
                           "error:   **Error** peering record has no \"remotePeering\"",
                           "info:   add local peering spoke-b-to-transit to spoke-b",
                           "error:   **Error** Cannot add peering. Missing credential for "
                           "subscription " +
                               kForeign,
                           "info:   add remote peering transit-to-spoke-b to transit-vnet",
                           "error:   **Error** Failed to add peering transit-to-spoke-b "
                           "-(Conflict) no (PUT " +
                               kT + "/virtualNetworkPeerings/transit-to-spoke-b)"}));
    EXPECT_EQ(writes(), std::vector<std::string>{
                            "PUT transit-vnet/virtualNetworkPeerings/transit-to-spoke-b"});

    // A dry run announces both ends and sends nothing.
    cloud().clearWriteLog();
    restartLog();
    dryRun();
    SwitchTraffic::addPeerings(Record::array({pair}));
    EXPECT_EQ(lines().size(), 3u);
    EXPECT_TRUE(writeLog().empty());
}

TEST_F(PeeringsTest, NothingToDoInEitherDirection) {
    start();
    const auto local = client(kHub);
    EXPECT_EQ(SwitchTraffic::deletePeerings({{"delete_peering", "all"}}, kHub,
                                            vnet(kHub, "rg-transit", "orphan-vnet"), &local),
              Record::array());
    SwitchTraffic::addPeerings(Record::array());
    EXPECT_EQ(lines(),
              (std::vector<std::string>{"info: - Delete peerings", "info:   No peering found",
                                        "info: - Restore peerings", "info:   no peering found"}));
}

}  // namespace

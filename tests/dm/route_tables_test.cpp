// Route-table discovery against the emulator: staged list, name map and original records, in
// both directions.
#include "library_fixture.hpp"

#include "core/error.hpp"

namespace {

using dm::Record;
using dm::arm::SwitchTraffic;
using dm::azure::RouteTable;
using dm::azure::VirtualNetwork;
using dm::emu::Json;

const std::string kSub = "22222222-aaaa-bbbb-cccc-000000000002";

std::string rtId(const std::string& group, const std::string& name) {
    return "/subscriptions/" + kSub + "/resourceGroups/" + group +
           "/providers/Microsoft.Network/routeTables/" + name;
}

std::string vnetId(const std::string& group, const std::string& name) {
    return "/subscriptions/" + kSub + "/resourceGroups/" + group +
           "/providers/Microsoft.Network/virtualNetworks/" + name;
}

Json taggedTable(const std::string& name, Json tags) {
    return {{"name", name}, {"tags", std::move(tags)}};
}

// spoke1's originals are rt-app (its own group) and rt-db (rg-org); the staging step created
// the main tables and one or two new tables per original, plus tables that must be ignored.
// `switched` puts the subnets on the new tables, as a forward run leaves them.
Json topology(bool switched, bool withOriginalApp = true) {
    Json spokeTables = Json::array();
    if (withOriginalApp)
        spokeTables.push_back({{"name", "rt-app"}});
    for (Json t : {Json{{"name", "rt-unused"}}, Json{{"name", "spoke1-main-1"}},
                   taggedTable("rt-app-new", {{"vnet", "spoke1"}, {"Org_RT", "org_rt-app"}}),
                   taggedTable("rt-db-new", {{"vnet", "spoke1"}, {"Org_RT", "org_rt-db"}}),
                   taggedTable("rt-bad", {{"vnet", "spoke1"}, {"Org_RT", "ORG_rt-app"}}),
                   taggedTable("rt-elsewhere", {{"vnet", "spoke2"}, {"Org_RT", "org_rt-app"}}),
                   taggedTable("rt-unused-new", {{"vnet", "spoke1"}, {"Org_RT", "org_rt-unused"}}),
                   taggedTable("rt-no-org", {{"vnet", "spoke1"}}),
                   taggedTable("rt-db-new2", {{"vnet", "spoke1"}, {"Org_RT", "org_rt-db"}}),
                   taggedTable("spoke1-main-2", {{"vnet", "other"}})}) {
        spokeTables.push_back(t);
    }
    Json subnets = Json::array(
        {{{"name", "app"}, {"routeTable", switched ? "rt-app-new" : "rt-app"}},
         {{"name", "db"},
          {"routeTable", switched ? rtId("rg-spoke", "rt-db-new2") : rtId("rg-org", "rt-db")}},
         switched ? Json{{"name", "web"}, {"routeTable", "spoke1-main-1"}}
                  : Json{{"name", "web"}}});
    return {
        {"subscriptions",
         {{{"id", kSub},
           {"resourceGroups",
            {{{"name", "rg-spoke"},
              {"routeTables", spokeTables},
              {"virtualNetworks",
               {{{"name", "spoke1"}, {"addressPrefixes", {"10.1.0.0/16"}}, {"subnets", subnets}}}}},
             {{"name", "rg-org"}, {"routeTables", {{{"name", "rt-db"}}}}},
             // Named like a main table of spoke1, but outside the VNet's group.
             {{"name", "rg-other"}, {"routeTables", {{{"name", "spoke1-main-1"}}}}}}}}}}};
}

const std::string kBadTagLine =
    "warning:   **Alert** cannot find org_<routeTableId> in the Org_RT tag of new route table " +
    rtId("rg-spoke", "rt-bad");

class DiscoverRouteTableTest : public dm::testing::LibraryFixture {};

TEST_F(DiscoverRouteTableTest, ForwardPairsUsedOriginalsWithTheirNewTables) {
    startCloud(topology(false));
    auto net = client(kSub);
    Record map = Record::object();
    auto [staged, orgInfo] =
        SwitchTraffic::discoverRouteTable(net, false, vnet(kSub, "rg-spoke", "spoke1"), map);

    // Main tables are staged whatever their tags; the namesake in rg-other is not a main table.
    EXPECT_EQ(staged, (std::vector<std::string>{"spoke1-main-1:rg-spoke", "rt-app-new:rg-spoke",
                                                "rt-db-new:rg-spoke", "rt-db-new2:rg-spoke",
                                                "spoke1-main-2:rg-spoke"}));
    // Both new tables of rt-db are staged, the later one wins the map; keys keep listing order.
    EXPECT_EQ(map.dump(), R"({"rt-app":"rt-app-new","rt-db":"rt-db-new2"})");
    EXPECT_TRUE(orgInfo.empty());
    EXPECT_EQ(lines(), std::vector<std::string>{kBadTagLine});
    EXPECT_TRUE(writeLog().empty());
}

TEST_F(DiscoverRouteTableTest, RevertMapsNewTablesInUseBackToOriginals) {
    startCloud(topology(true));
    auto net = client(kSub);
    Record map = Record::object();
    auto [staged, orgInfo] =
        SwitchTraffic::discoverRouteTable(net, true, vnet(kSub, "rg-spoke", "spoke1"), map);

    // rt-db-new is no longer in use after the switch, so it is neither staged nor mapped.
    EXPECT_EQ(staged, (std::vector<std::string>{"spoke1-main-1:rg-spoke", "rt-app-new:rg-spoke",
                                                "rt-db-new2:rg-spoke", "spoke1-main-2:rg-spoke"}));
    EXPECT_EQ(map.dump(), R"({"rt-app-new":"rt-app","rt-db-new2":"rt-db"})");
    ASSERT_EQ(orgInfo.size(), 2u);
    EXPECT_EQ(orgInfo.at("rt-app").id(), rtId("rg-spoke", "rt-app"));
    // The original's own group is kept: the revert re-association looks it up there.
    EXPECT_EQ(orgInfo.at("rt-db").id(), rtId("rg-org", "rt-db"));
    EXPECT_EQ(lines(), std::vector<std::string>{kBadTagLine});
}

TEST_F(DiscoverRouteTableTest, RevertFailsWhenTheOriginalTableIsGone) {
    startCloud(topology(true, /*withOriginalApp=*/false));
    auto net = client(kSub);
    Record map = Record::object();
    EXPECT_THROW(
        SwitchTraffic::discoverRouteTable(net, true, vnet(kSub, "rg-spoke", "spoke1"), map),
        dm::Error);
}

// Records built locally: these operations read only what they are given and the YAML context.
class RouteTableHelpersTest : public dm::testing::LibraryFixture {};

TEST_F(RouteTableHelpersTest, MainTablesLiveInTheVnetGroupAndFollowThePrefix) {
    const VirtualNetwork net(Record{{"id", vnetId("rg-spoke", "spoke1")}, {"name", "spoke1"}});
    auto table = [](const std::string& group, const std::string& name) {
        return RouteTable(Record{{"id", rtId(group, name)}, {"name", name}});
    };
    EXPECT_TRUE(SwitchTraffic::isMainRtb(net, table("rg-spoke", "spoke1-main-1")));
    EXPECT_TRUE(SwitchTraffic::isMainRtb(net, table("rg-spoke", "spoke1-main-2")));
    EXPECT_FALSE(SwitchTraffic::isMainRtb(net, table("rg-spoke", "spoke1-main-3")));
    EXPECT_FALSE(SwitchTraffic::isMainRtb(net, table("rg-other", "spoke1-main-1")));
    // Groups compare as exact text.
    EXPECT_FALSE(SwitchTraffic::isMainRtb(net, table("RG-SPOKE", "spoke1-main-1")));

    dm::YamlContext().setGlobalContext(
        Record{{"switch_traffic", {{"main_table_prefix", {{"spoke1", "hub7"}}}}}});
    EXPECT_TRUE(SwitchTraffic::isMainRtb(net, table("rg-spoke", "hub7-main-2")));
    EXPECT_FALSE(SwitchTraffic::isMainRtb(net, table("rg-spoke", "spoke1-main-1")));
}

TEST_F(RouteTableHelpersTest, VpcCidrsAreThePrefixesInsideTheAllowedList) {
    const VirtualNetwork net(
        Record{{"id", vnetId("rg-spoke", "spoke1")},
               {"name", "spoke1"},
               {"properties",
                {{"addressSpace",
                  {{"addressPrefixes", {"10.1.0.0/16", "192.168.5.0/24", "10.2.3.0/24"}}}}}}});
    EXPECT_EQ(SwitchTraffic::discoverVpcCidr(net, Record{{"allow_vnet_cidrs", {"10.0.0.0/8"}}}),
              (std::vector<std::string>{"10.1.0.0/16", "10.2.3.0/24"}));
    EXPECT_TRUE(SwitchTraffic::discoverVpcCidr(net, Record{{"allow_vnet_cidrs", {"172.16.0.0/12"}}})
                    .empty());
    EXPECT_THROW(SwitchTraffic::discoverVpcCidr(net, Record::object()), dm::Error);
}

}  // namespace

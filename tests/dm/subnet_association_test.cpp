// Subnet re-association against the emulator: log lines, subnet updates in order, the
// resulting associations and the Terraform association entries.
#include "library_fixture.hpp"

#include <map>
#include <sstream>

#include "core/text.hpp"
#include "services/terraform/terraform.hpp"

namespace {

using dm::Record;
using dm::arm::RouteTableInfo;
using dm::arm::SwitchTraffic;
using dm::azure::RouteTable;
using dm::emu::Json;

const std::string kSub = "33333333-aaaa-bbbb-cccc-000000000003";

std::string rtId(const std::string& group, const std::string& name) {
    return "/subscriptions/" + kSub + "/resourceGroups/" + group +
           "/providers/Microsoft.Network/routeTables/" + name;
}

std::string vnetId(const std::string& group, const std::string& name) {
    return "/subscriptions/" + kSub + "/resourceGroups/" + group +
           "/providers/Microsoft.Network/virtualNetworks/" + name;
}

Json subnet(const std::string& name, const std::string& routeTable = "") {
    Json s = {{"name", name}};
    if (!routeTable.empty())
        s["routeTable"] = routeTable;
    return s;
}

Json tables(const std::vector<std::string>& names) {
    Json out = Json::array();
    for (const auto& n : names)
        out.push_back({{"name", n}});
    return out;
}

// One subscription; `groups` holds (group name, route tables, VNets).
Json cloudOf(Json groups) {
    return {{"subscriptions", {{{"id", kSub}, {"resourceGroups", groups}}}}};
}

Json group(const std::string& name, Json routeTables, Json vnets = Json::array()) {
    return {{"name", name}, {"routeTables", routeTables}, {"virtualNetworks", vnets}};
}

Json vnetNode(const std::string& name, Json subnets) {
    return {{"name", name}, {"addressPrefixes", {"10.1.0.0/16"}}, {"subnets", subnets}};
}

// One association of subnet-route-table-associations.tf: its arguments by name.
using Association = std::map<std::string, std::string>;

class SubnetAssociationTest : public dm::testing::LibraryFixture {
  protected:
    void SetUp() override {
        LibraryFixture::SetUp();
        run_.run.accountFolder = (folder_.path().string());
        dm::Terraform::setSwitchTrafficTargetFolder();
    }
    void TearDown() override {
        dryRun(false);
        LibraryFixture::TearDown();
    }

    static Record options(Record defaultRouteTable = nullptr) {
        return {{"default_route_table", defaultRouteTable},
                {"subscriptionInfo", {{"alias", "sub1"}}},
                {"migrate_non_associated_subnet", true},
                {"subnet_in_subnet_groups", Record::array()}};
    }

    void run(const Record& yaml, bool revert, const std::string& vnetName, const Record& map,
             const RouteTableInfo& orgInfo = {}) {
        SwitchTraffic::updateSubnetAssociation(yaml, revert, client(kSub),
                                               vnet(kSub, "rg-spoke", vnetName), map, orgInfo);
    }

    // Each subnet write as "<method> <vnet>/<subnet> -> <route table id or none>".
    std::vector<std::string> subnetWrites() const {
        std::vector<std::string> out;
        for (const auto& w : writeLog()) {
            const std::string path = w["path"];
            const auto at = path.find("/virtualNetworks/");
            const Json& props = w["body"]["properties"];
            const std::string rt = props.contains("routeTable") && !props["routeTable"].is_null()
                                       ? props["routeTable"]["id"].get<std::string>()
                                       : "none";
            out.push_back(w["method"].get<std::string>() + " " +
                          path.substr(at + std::string("/virtualNetworks/").size()) + " -> " + rt);
        }
        return out;
    }

    // The route table the emulator holds for a subnet of rg-spoke, or "none".
    std::string tableOf(const std::string& vnetName, const std::string& subnetName) {
        Json s = cloud().resource(vnetId("rg-spoke", vnetName) + "/subnets/" + subnetName);
        const Json& props = s["properties"];
        return props.contains("routeTable") ? props["routeTable"]["id"].get<std::string>() : "none";
    }

    // The association file's entries in file order: (rname, arguments).
    std::vector<std::pair<std::string, Association>> associations() const {
        std::vector<std::pair<std::string, Association>> out;
        std::istringstream in(
            dm::testing::readFile(folder_.path() / dm::Terraform::kAssociationTf));
        const std::string head = "resource \"azurerm_subnet_route_table_association\" \"";
        for (std::string line; std::getline(in, line);) {
            if (line.rfind(head, 0) == 0) {
                out.emplace_back(line.substr(head.size(), line.rfind('"') - head.size()),
                                 Association{});
            } else if (!out.empty() && line.find(" = ") != std::string::npos &&
                       line.rfind("  #", 0) != 0) {
                const auto eq = line.find(" = ");
                out.back().second[dm::text::trim(line.substr(0, eq))] =
                    dm::text::trim(line.substr(eq + 3));
            }
        }
        return out;
    }

    dm::testing::TempDir folder_;
};

// ---- forward ----------------------------------------------------------------------------------

// spoke1 after staging: three subnets need a main table (one has none, one sits on the default
// table, one merely contains a spoke-gateway fragment), one has a staged copy, and the rest
// must be left alone for their own reasons.
Json forwardCloud() {
    return cloudOf({group(
        "rg-spoke",
        tables({"rt-app", "rt-app-new", "rt-other", "spoke1-main-1", "spoke1-main-2",
                "spoke1-default"}),
        {vnetNode("spoke1",
                  {subnet("GatewaySubnet"), subnet("none-1"), subnet("app", "rt-app"),
                   subnet("tlvx-spoke-gw-subnet", "rt-app"), subnet("on-default", "spoke1-default"),
                   subnet("my-tlvx-spoke-hagw-subnet"), subnet("other", "rt-other")})})});
}

const Record kForwardMap = {{"rt-app", "rt-app-new"}};

const std::vector<std::string> kForwardStepLines = {
    "info: - Switch subnet to route-table association",
    "info:   found Azure GatewaySubnet -- skipped ",
    "info:   associate none-1 to spoke1-main-1",
    "info:   switch app from rt-app to rt-app-new",
    "info:   spoke gw subnet tlvx-spoke-gw-subnet -- skipped",
    "info:   associate on-default to spoke1-main-2",
    "info:   associate my-tlvx-spoke-hagw-subnet to spoke1-main-1",
    "warning:   **Alert** other associated to rt-other not copied -- skipped",
};

std::vector<std::string> concat(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST_F(SubnetAssociationTest, ForwardMovesSubnetsToStagedAndAlternatingMainTables) {
    startCloud(forwardCloud());
    run(options("default"), false, "spoke1", kForwardMap);

    EXPECT_EQ(lines(), concat(kForwardStepLines,
                              {"info: - Discover subnet to route-table association",
                               "info:   found Azure GatewaySubnet -- skipped ",
                               "info:   subnet none-1 is associated to spoke1-main-1",
                               "info:   subnet app is associated to rt-app-new",
                               "info:   subnet tlvx-spoke-gw-subnet is associated to rt-app",
                               "info:   subnet on-default is associated to spoke1-main-2",
                               "info:   subnet my-tlvx-spoke-hagw-subnet is associated to "
                               "spoke1-main-1",
                               "info:   subnet other is associated to rt-other"}));
    EXPECT_EQ(subnetWrites(),
              (std::vector<std::string>{
                  "PUT spoke1/subnets/none-1 -> " + rtId("rg-spoke", "spoke1-main-1"),
                  "PUT spoke1/subnets/app -> " + rtId("rg-spoke", "rt-app-new"),
                  "PUT spoke1/subnets/on-default -> " + rtId("rg-spoke", "spoke1-main-2"),
                  "PUT spoke1/subnets/my-tlvx-spoke-hagw-subnet -> " +
                      rtId("rg-spoke", "spoke1-main-1")}));
    EXPECT_EQ(tableOf("spoke1", "app"), rtId("rg-spoke", "rt-app-new"));
    EXPECT_EQ(tableOf("spoke1", "tlvx-spoke-gw-subnet"), rtId("rg-spoke", "rt-app"));

    const std::string main = "module.spoke1.azurerm_route_table_telvane_managed_main";
    const auto assoc = associations();
    ASSERT_EQ(assoc.size(), 4u);
    EXPECT_EQ(assoc[0].first, "spoke1_none-1_spoke1-main-1");
    EXPECT_EQ(assoc[0].second, (Association{{"provider", "azurerm.sub1"},
                                            {"subnet_id", "azurerm_subnet.spoke1_none-1.id"},
                                            {"route_table_id", main + "[0].id"}}));
    EXPECT_EQ(assoc[1].first, "spoke1_app_rt-app-new");
    EXPECT_EQ(assoc[1].second.at("route_table_id"),
              "module.spoke1.azurerm_route_table_telvane_managed[\"rt-app-new\"].id");
    EXPECT_EQ(assoc[2].first, "spoke1_on-default_spoke1-main-2");
    EXPECT_EQ(assoc[2].second.at("route_table_id"), main + "[1].id");
    EXPECT_EQ(assoc[3].first, "spoke1_my-tlvx-spoke-hagw-subnet_spoke1-main-1");
    EXPECT_EQ(assoc[3].second.at("route_table_id"), main + "[0].id");
}

TEST_F(SubnetAssociationTest, DryRunLogsAndRecordsTheSameButChangesNothing) {
    startCloud(forwardCloud());
    dryRun();
    dryRun();
    dm::testing::LogCapture terraformLog({"dm.arm.terraform"});
    run(options("default"), false, "spoke1", kForwardMap);

    // The closing listing shows the associations as they still are.
    EXPECT_EQ(lines(), concat(kForwardStepLines,
                              {"info: - Discover subnet to route-table association",
                               "info:   found Azure GatewaySubnet -- skipped ",
                               "info:   subnet none-1 has no route table",
                               "info:   subnet app is associated to rt-app",
                               "info:   subnet tlvx-spoke-gw-subnet is associated to rt-app",
                               "info:   subnet on-default is associated to spoke1-default",
                               "info:   subnet my-tlvx-spoke-hagw-subnet has no route table",
                               "info:   subnet other is associated to rt-other"}));
    EXPECT_TRUE(writeLog().empty());
    const std::string add = "info: [dry-run] add azurerm_subnet_route_table_association.";
    const std::string to = " to subnet-route-table-associations.tf";
    EXPECT_EQ(terraformLog.lines(),
              (std::vector<std::string>{
                  add + "spoke1_none-1_spoke1-main-1" + to, add + "spoke1_app_rt-app-new" + to,
                  add + "spoke1_on-default_spoke1-main-2" + to,
                  add + "spoke1_my-tlvx-spoke-hagw-subnet_spoke1-main-1" + to}));
}

TEST_F(SubnetAssociationTest, MissingMainTableEndsTheOperationAtOnce) {
    startCloud(cloudOf({group(
        "rg-spoke", tables({"rt-app", "rt-app-new", "spoke1-main-1"}),
        {vnetNode("spoke1", {subnet("none-1"), subnet("none-2"), subnet("app", "rt-app")})})}));
    run(options(), false, "spoke1", kForwardMap);

    // No closing listing, and the subnets after the failure keep their tables.
    EXPECT_EQ(lines(), (std::vector<std::string>{
                           "info: - Switch subnet to route-table association",
                           "info:   associate none-1 to spoke1-main-1",
                           "error:   **Error** (ResourceNotFound) The Resource "
                           "'Microsoft.Network/routeTables/spoke1-main-2' under resource group "
                           "'rg-spoke' was not found."}));
    EXPECT_EQ(subnetWrites(), (std::vector<std::string>{"PUT spoke1/subnets/none-1 -> " +
                                                        rtId("rg-spoke", "spoke1-main-1")}));
    EXPECT_EQ(tableOf("spoke1", "app"), rtId("rg-spoke", "rt-app"));
}

TEST_F(SubnetAssociationTest, SharedTableReplicationFollowsDiscoveryInformation) {
    startCloud(cloudOf(
        {group("rg-spoke", tables({"rt-app", "rt-app-new", "rt-app-shared", "rt-b", "rt-b-new"}),
               {vnetNode("spoke1", {subnet("app", "rt-app"), subnet("app2", "rt-app")}),
                vnetNode("spoke2", {subnet("s", "rt-b")})})}));
    document_["switch_traffic"]["configure_shared_route_table_replication"] = 1;
    dm::YamlContext().setGlobalContext(document_);
    const Record discovery = {{"rtbSubnetGwGroupInfos",
                               {{vnetId("rg-spoke", "spoke1"),
                                 {{"rt-app",
                                   {{{"subnetId", "other"}, {"rtbName", "rt-b-new"}},
                                    {{"subnetId", "app"}, {"rtbName", "rt-app-shared"}}}}}}}}};
    dm::testing::writeFile(folder_.path() / dm::Terraform::kDiscoveryFile, discovery.dump());

    run(options(), false, "spoke1", kForwardMap);
    run(options(), false, "spoke2", Record{{"rt-b", "rt-b-new"}});

    const auto spoke2 = vnet(kSub, "rg-spoke", "spoke2");
    EXPECT_EQ(lines(),
              (std::vector<std::string>{"info: - Switch subnet to route-table association",
                                        "info:   switch app from rt-app to rt-app-shared",
                                        // No record for app2: the staged copy from the map stays.
                                        "info:   switch app2 from rt-app to rt-app-new",
                                        "info: - Discover subnet to route-table association",
                                        "info:   subnet app is associated to rt-app-shared",
                                        "info:   subnet app2 is associated to rt-app-new",
                                        "info: - Switch subnet to route-table association",
                                        "error:   fail to reassociate s - no " + spoke2.toString() +
                                            " info found in discovery.json",
                                        "info: - Discover subnet to route-table association",
                                        "info:   subnet s is associated to rt-b"}));
    EXPECT_EQ(subnetWrites().size(), 2u);
    const auto assoc = associations();
    ASSERT_EQ(assoc.size(), 2u);
    EXPECT_EQ(assoc[0].first, "spoke1_app_rt-app-shared");
    EXPECT_EQ(assoc[0].second.at("route_table_id"),
              "module.spoke1.azurerm_route_table_telvane_managed[\"rt-app-shared\"].id");
}

TEST_F(SubnetAssociationTest, SubnetGroupMembersSwitchWithoutAssociationAndDotsBecomeUnderscores) {
    startCloud(cloudOf({group("rg-spoke", tables({"net.a-main-1", "net.a-main-2"}),
                              {vnetNode("net.a", {subnet("s.1"), subnet("grp")})})}));
    Record yaml = options();
    yaml["subnet_in_subnet_groups"] = {"grp"};
    run(yaml, false, "net.a", Record::object());

    EXPECT_EQ(subnetWrites(), (std::vector<std::string>{
                                  "PUT net.a/subnets/s.1 -> " + rtId("rg-spoke", "net.a-main-1"),
                                  "PUT net.a/subnets/grp -> " + rtId("rg-spoke", "net.a-main-2")}));
    const auto assoc = associations();
    ASSERT_EQ(assoc.size(), 1u);
    EXPECT_EQ(assoc[0].first, "net_a_s_1_net_a-main-1");
    EXPECT_EQ(assoc[0].second.at("subnet_id"), "azurerm_subnet.net_a_s_1.id");
    EXPECT_EQ(assoc[0].second.at("route_table_id"),
              "module.net.a.azurerm_route_table_telvane_managed_main[0].id");
}

TEST_F(SubnetAssociationTest, MigrationOffLeavesSubnetsWithoutTableAlone) {
    startCloud(cloudOf({group("rg-spoke", tables({"spoke1-main-1", "spoke1-main-2"}),
                              {vnetNode("spoke1", {subnet("web")})})}));
    Record yaml = options();
    yaml["migrate_non_associated_subnet"] = false;
    run(yaml, false, "spoke1", Record::object());

    EXPECT_EQ(lines(), (std::vector<std::string>{
                           "info: - Switch subnet to route-table association",
                           "info:   subnet web without route table association -- skipped",
                           "info: - Discover subnet to route-table association",
                           "info:   subnet web has no route table"}));
    EXPECT_TRUE(writeLog().empty());
}

// ---- revert -----------------------------------------------------------------------------------

// spoke1 after a switch. rt-app's original lives in rg-org; rt-y's record points at a group
// where it no longer exists; rt-z has no original record at all.
Json revertCloud() {
    return cloudOf(
        {group("rg-spoke",
               tables({"rt-app-new", "spoke1-main-1", "spoke1-main-2", "spoke1-main-7",
                       "spoke1-default", "rt-x", "rt-y-new", "rt-z-new"}),
               {vnetNode("spoke1",
                         {subnet("app", "rt-app-new"), subnet("m1", "spoke1-main-1"),
                          subnet("m7", "spoke1-main-7"), subnet("bare"),
                          subnet("tlvx-spoke-hagw-subnet", "rt-app-new"), subnet("x", "rt-x"),
                          subnet("y", "rt-y-new"), subnet("z", "rt-z-new")})}),
         group("rg-org", tables({"rt-app"}))});
}

const Record kRevertMap = {{"rt-app-new", "rt-app"}, {"rt-y-new", "rt-y"}, {"rt-z-new", "rt-z"}};

RouteTableInfo revertOrgInfo() {
    return {{"rt-app", RouteTable(Record{{"id", rtId("rg-org", "rt-app")}, {"name", "rt-app"}})},
            {"rt-y", RouteTable(Record{{"id", rtId("rg-org", "rt-y")}, {"name", "rt-y"}})}};
}

std::vector<std::string> revertLines(const std::string& mainTarget) {
    return {"info:   switch app from rt-app-new to rt-app",
            "info:   re-associate m1 from spoke1-main-1 to " + mainTarget,
            "info:   re-associate m7 from spoke1-main-7 to " + mainTarget,
            "warning:   **Alert** Subnet bare without route table detected during revert "
            "traffic -- skipped",
            "info:   spoke gw subnet tlvx-spoke-hagw-subnet -- skipped",
            "warning:   **Alert** x is using a route table rt-x that has not been copied -- "
            "skipped",
            "error:   **Error** (ResourceNotFound) The Resource "
            "'Microsoft.Network/routeTables/rt-y' under resource group 'rg-org' was not found.",
            "warning:   **Alert** rt-z region info not found -- skipped",
            "info: - Discover subnet to route-table association"};
}

TEST_F(SubnetAssociationTest, RevertReturnsSubnetsToOriginalsAndMainTableUsersToDefault) {
    startCloud(revertCloud());
    run(options("default"), true, "spoke1", kRevertMap, revertOrgInfo());

    auto got = lines();
    ASSERT_GE(got.size(), 10u);
    EXPECT_EQ(got[0], "info: - Switch subnet to route-table association");
    EXPECT_EQ(std::vector<std::string>(got.begin() + 1, got.begin() + 10),
              revertLines("spoke1-default"));
    EXPECT_EQ(subnetWrites(),
              (std::vector<std::string>{
                  "PUT spoke1/subnets/app -> " + rtId("rg-org", "rt-app"),
                  "PUT spoke1/subnets/m1 -> " + rtId("rg-spoke", "spoke1-default"),
                  "PUT spoke1/subnets/m7 -> " + rtId("rg-spoke", "spoke1-default")}));
    EXPECT_EQ(tableOf("spoke1", "y"), rtId("rg-spoke", "rt-y-new"));
    // A revert records no Terraform associations.
    EXPECT_FALSE(std::filesystem::exists(folder_.path() / dm::Terraform::kAssociationTf));
}

TEST_F(SubnetAssociationTest, RevertWithoutDefaultTableRemovesMainTableAssociations) {
    startCloud(revertCloud());
    run(options("missing"), true, "spoke1", kRevertMap, revertOrgInfo());

    auto got = lines();
    ASSERT_GE(got.size(), 12u);
    EXPECT_EQ(std::vector<std::string>(got.begin(), got.begin() + 3),
              (std::vector<std::string>{
                  "info: - Switch subnet to route-table association",
                  "info:   **Alert** spoke1-missing not found",
                  "debug:   **Alert** (ResourceNotFound) The Resource "
                  "'Microsoft.Network/routeTables/spoke1-missing' under resource group "
                  "'rg-spoke' was not found."}));
    EXPECT_EQ(std::vector<std::string>(got.begin() + 3, got.begin() + 12), revertLines("None"));
    EXPECT_EQ(subnetWrites(),
              (std::vector<std::string>{"PUT spoke1/subnets/app -> " + rtId("rg-org", "rt-app"),
                                        "PUT spoke1/subnets/m1 -> none",
                                        "PUT spoke1/subnets/m7 -> none"}));
    EXPECT_EQ(tableOf("spoke1", "m1"), "none");
}

// Forward then revert through discovery: the subnets end where they started.
TEST_F(SubnetAssociationTest, ForwardThenRevertRestoresTheOriginalAssociations) {
    startCloud(cloudOf(
        {group("rg-spoke",
               {{{"name", "rt-app"}},
                {{"name", "rt-app-new"}, {"tags", {{"vnet", "spoke1"}, {"Org_RT", "org_rt-app"}}}},
                {{"name", "spoke1-main-1"}},
                {{"name", "spoke1-main-2"}}},
               {vnetNode("spoke1", {subnet("app", "rt-app"), subnet("web"), subnet("db")})})}));
    auto net = client(kSub);
    Record forwardMap = Record::object();
    auto forward =
        SwitchTraffic::discoverRouteTable(net, false, vnet(kSub, "rg-spoke", "spoke1"), forwardMap);
    run(options(), false, "spoke1", forwardMap, forward.second);
    ASSERT_EQ(tableOf("spoke1", "web"), rtId("rg-spoke", "spoke1-main-1"));
    ASSERT_EQ(tableOf("spoke1", "db"), rtId("rg-spoke", "spoke1-main-2"));

    Record revertMap = Record::object();
    auto revert =
        SwitchTraffic::discoverRouteTable(net, true, vnet(kSub, "rg-spoke", "spoke1"), revertMap);
    run(options(), true, "spoke1", revertMap, revert.second);
    EXPECT_EQ(tableOf("spoke1", "app"), rtId("rg-spoke", "rt-app"));
    EXPECT_EQ(tableOf("spoke1", "web"), "none");
    EXPECT_EQ(tableOf("spoke1", "db"), "none");
    EXPECT_EQ(subnetWrites().size(), 6u);
}

}  // namespace

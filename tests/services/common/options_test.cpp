// The global record getters, option records and the account folder, on the example document.

#include <gtest/gtest.h>

#include "core/error.hpp"
#include "services/common/common.hpp"
#include "services/common/yaml_context.hpp"
#include "services/context/globals.hpp"
#include "support/scoped.hpp"
#include "support/scoped_run.hpp"

namespace dm {
namespace {

class OptionsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        doc_ = Common::convert_yaml_to_json(DM_EXAMPLES_DIR "/discovery.yaml");
        YamlContext().setGlobalContext(doc_);
    }

    testing::ScopedRun run_;

    // The global record as the driver builds it, then the toolkit's options.
    Record globalRecord() {
        Record r;
        r["allow_vnet_cidrs"] = Common::getAllowVpcCidr(doc_);
        r["subscriptionMap"] = Common::getAzureSubscriptionInfo(doc_);
        r["ctrl_private_ip"] = Common::getControllerPrivateIp(doc_);
        r["default_route_table"] = Common::getPreStageDefaultRouteTable(doc_);
        r["transitPeeringMap"] = Common::getTransitPeeringMap(doc_);
        r["delete_vnet_lock"] = Common::getSWDeleteVnetLock(doc_);
        r["delete_peering"] = doc_["switch_traffic"]["delete_peering"];
        r["manage_terraform_import"] = doc_["switch_traffic"]["manage_terraform_import"];
        Common::readGlobalConfigOption(doc_, r);
        return r;
    }

    Record vnetMap() {
        Record map = Record::object();
        for (const auto& v : doc_["account_info"][0]["vnets"])
            map[v["vnet_name"]] = v;
        return map;
    }

    Record doc_;
};

TEST_F(OptionsTest, GlobalRecordHoldsStorableValuesAndDefaults) {
    Record r = globalRecord();
    EXPECT_EQ(r["allow_vnet_cidrs"], Record::parse(R"(["10.0.0.0/8","172.16.0.0/12"])"));
    auto networks = Common::toNetworks(r["allow_vnet_cidrs"]);
    ASSERT_EQ(networks.size(), 2u);
    EXPECT_TRUE(networks[1].contains(IpNetwork::parse("172.20.1.0/24")));
    EXPECT_EQ(r["ctrl_private_ip"], "10.255.0.4");
    EXPECT_TRUE(r["default_route_table"].is_null());
    EXPECT_EQ(r["transitPeeringMap"]["azu-use-transit-gw"], "azu-usw2-transit-gw");
    EXPECT_EQ(r["manage_propagate_gateway_routes"], false);
    EXPECT_EQ(r["migrate_non_associated_subnet"], true);
    EXPECT_EQ(r["configure_shared_route_table_replication"], 0);
    EXPECT_EQ(r["subnet_in_subnet_groups"], Record::array());
    EXPECT_FALSE(r.contains("main_table_prefix"));
    // A round trip through text keeps the record, as the revert record needs.
    EXPECT_EQ(Record::parse(r.dump()), r);
    EXPECT_EQ(r["subscriptionMap"]["00000000-0000-0000-0000-000000000002"]["alias"], "transit");
}

TEST_F(OptionsTest, GlobalOptionsAreNotReplacedAndTheirTypesAreChecked) {
    Record r;
    r["delete_vnet_lock"] = true;
    Common::readGlobalConfigOption(doc_, r);
    EXPECT_EQ(r["delete_vnet_lock"], true);

    doc_["switch_traffic"]["manage_propagate_gateway_routes"] = "yes";
    Record fresh;
    try {
        Common::readGlobalConfigOption(doc_, fresh);
        FAIL() << "no error";
    } catch (const ConfigError& e) {
        EXPECT_EQ(std::string(e.what()), DM_EXAMPLES_DIR
                  "/discovery.yaml: switch_traffic.manage_propagate_gateway_routes: expected a "
                  "boolean (true or false), found the string \"yes\"");
    }
}

TEST_F(OptionsTest, VnetOptionsTakeTheVnetValueElseTheGlobalOne) {
    Record account = globalRecord();
    account["max_hpe_performance"] = "false";

    Record first = account;
    Common::readVnetOption(vnetMap(), std::string("spoke-vnet-1"), first);
    EXPECT_EQ(first["domain"], "prod");
    EXPECT_EQ(first["configure_gw_name"], false);
    EXPECT_EQ(first["migrate_non_associated_subnet"], true);
    EXPECT_TRUE(first["spoke_gw_name"].is_null());
    EXPECT_TRUE(first["spoke_advertisement"].is_null());
    EXPECT_EQ(first["max_hpe_performance"], "false");

    Record second = account;
    Common::readVnetOption(vnetMap(), std::string("spoke-vnet-2"), second);
    EXPECT_EQ(second["configure_gw_name"], true);
    EXPECT_EQ(second["spoke_gw_name"], "azu-use-spoke2-gw");
    EXPECT_EQ(second["migrate_non_associated_subnet"], false);
    EXPECT_EQ(second["spoke_advertisement"], "10.30.0.0/16,10.31.0.0/16");
    EXPECT_EQ(second["subnet_in_subnet_groups"], Record::parse(R"(["app-subnet"])"));
    EXPECT_TRUE(second["domain"].is_null());
    // The account record is untouched.
    EXPECT_FALSE(account.contains("spoke_gw_name"));

    for (const char* key : {"configure_gw_name", "delete_vnet_lock", "configure_subnet_groups",
                            "configure_staging_attachment", "max_hpe_performance", "domain",
                            "spoke_advertisement", "transitPeeringMap", "spoke_gw_name",
                            "migrate_non_associated_subnet", "subnet_in_subnet_groups"}) {
        EXPECT_TRUE(second.contains(key)) << key;
    }
}

TEST_F(OptionsTest, VnetOptionsFillDefaultsForAnEmptyRecordAndAnUnknownVnet) {
    Record record = Record::object();
    Common::readVnetOption(vnetMap(), std::string("not-listed"), record);
    EXPECT_EQ(record["delete_vnet_lock"], false);
    EXPECT_EQ(record["migrate_non_associated_subnet"], true);
    EXPECT_EQ(record["transitPeeringMap"], Record::object());
    EXPECT_TRUE(record["max_hpe_performance"].is_null());

    Record map = vnetMap();
    map["spoke-vnet-1"]["max_hpe_performance"] = false;
    map["spoke-vnet-1"]["delete_vnet_lock"] = "true";
    Record r1 = Record::object();
    try {
        Common::readVnetOption(map, std::string("spoke-vnet-1"), r1);
        FAIL() << "no error";
    } catch (const ConfigError& e) {
        EXPECT_EQ(std::string(e.what()), DM_EXAMPLES_DIR
                  "/discovery.yaml: vnet spoke-vnet-1.delete_vnet_lock: expected a boolean (true "
                  "or false), found the string \"true\"");
    }
    map["spoke-vnet-1"].erase("delete_vnet_lock");
    Common::readVnetOption(map, std::string("spoke-vnet-1"), r1);
    EXPECT_EQ(r1["max_hpe_performance"], "false");
}

TEST_F(OptionsTest, SubscriptionAliasAndAccountFolder) {
    Record map = Common::getAzureSubscriptionInfo(doc_);
    Record entry = doc_["account_info"][0];
    Record info = Common::getSubscription(map, "00000000-0000-0000-0000-000000000001", entry);
    EXPECT_EQ(info["alias"], "spoke_prod");
    EXPECT_EQ(Common::getTargetLocation(info, doc_), "./output/spoke_prod");

    entry["alias"] = "override";
    EXPECT_EQ(Common::getSubscription(map, "00000000-0000-0000-0000-000000000001", entry)["alias"],
              "override");
    Record unknown = Common::getSubscription(map, "sub-x", Record::object());
    EXPECT_EQ(unknown["alias"], "sub-x");
    EXPECT_EQ(unknown["subscription_id"], "sub-x");
}

TEST_F(OptionsTest, SetupTargetFolderCreatesItAndCopiesTheInput) {
    testing::TempDir dir;
    testing::writeFile(dir.file("in.yaml"), "document_type: AZURE\n");
    std::string folder = dir.file("out/acct");
    Common::setupTargetFolder(doc_, dir.file("in.yaml"), folder);
    EXPECT_EQ(testing::readFile(folder + "/in.yaml"), "document_type: AZURE\n");
    EXPECT_EQ(Globals::getTargetFolder(), folder);
    // Running again from the copy itself must not truncate it.
    Common::setupTargetFolder(doc_, folder + "/in.yaml", folder);
    EXPECT_EQ(testing::readFile(folder + "/in.yaml"), "document_type: AZURE\n");
}

TEST_F(OptionsTest, MainTablePrefixComesFromTheDocumentElseAbsent) {
    EXPECT_EQ(Common::getMainTablePrefix("legacy-vnet-with-long-name"), "legacy");
    EXPECT_EQ(Common::getMainTablePrefix("spoke-vnet-1"), std::nullopt);
}

}  // namespace
}  // namespace dm

// The transit lookup against the emulator's controller and ARM: each way the controller can
// fail it, and the credential and VNet it finds.
#include "library_fixture.hpp"

#include "dm/arm/kept_listings.hpp"
#include "services/telvane/telvane.hpp"

namespace {

using dm::Telvane;
using dm::arm::SwitchTraffic;
using dm::emu::Json;

const std::string kSub = "77777777-aaaa-bbbb-cccc-000000000007";
const std::string kGw = "azu-use-transit-gw";

Json topology() {
    return Json::parse(R"({
      "subscriptions": [{"id": ")" +
                       kSub + R"(", "resourceGroups": [{"name": "rg-transit",
        "virtualNetworks": [{"name": "transit-vnet", "addressPrefixes": ["10.250.0.0/23"]},
                            {"name": "transit-vnet-2", "addressPrefixes": ["10.252.0.0/23"]}]}]}],
      "controller": {
        "users": [{"username": "admin", "password": "pw"}],
        "accounts": [{"account_name": "azure-transit", "arm_subscription_id": ")" +
                       kSub + R"(",
                      "arm_ad_client_id": "app-1", "arm_ad_tenant_id": "tenant-1"}],
        "gateways": [
          {"gw_name": "azu-use-transit-gw", "gw_type": "transit", "account_name": "azure-transit",
           "vpc_id": "transit-vnet:rg-transit:extra"},
          {"gw_name": "azu-usw-transit-gw", "gw_type": "transit",
           "account_name": "retired-account", "vpc_id": "gone-vnet:rg-gone"}]}})");
}

class TransitTest : public dm::testing::LibraryFixture {
  protected:
    void SetUp() override {
        LibraryFixture::SetUp();
        startCloud(topology());
        Telvane::configure({.caBundle = cloud().caFile(), .transport = nullptr});
        cid_ = Telvane::getCid(cloud().controllerAddress(), "admin", "pw");
        cloud().resetCounters();
    }
    auto lookup(const std::string& gw) {
        return SwitchTraffic::getTransitVnet("https://" + cloud().controllerAddress() + "/v1/api",
                                             cid_, gw);
    }
    void restart() {
        log_.reset();  // gives the logger its sinks back before the new capture saves them
        log_ = std::make_unique<dm::testing::LogCapture>(
            std::vector<std::string>{dm::arm::kLibraryLoggerName});
    }
    std::string cid_;
};

TEST_F(TransitTest, FindsCredentialFirstAndVnetSecond) {
    auto [cred, transit] = lookup(kGw);
    ASSERT_TRUE(cred && transit);
    EXPECT_EQ(cred->getSubId(), kSub);
    EXPECT_EQ(transit->id(), "/subscriptions/" + kSub +
                                 "/resourceGroups/rg-transit/providers/Microsoft.Network/"
                                 "virtualNetworks/transit-vnet");
    EXPECT_EQ(lines(), (std::vector<std::string>{
                           "info: - Lookup transit gw account and vnet info",
                           "info:   azu-use-transit-gw in vnet transit-vnet resource group "
                           "rg-transit"}));
    EXPECT_TRUE(writeLog().empty());
}

TEST_F(TransitTest, TakesTheFirstOfTwoGatewaysOfTheSameName) {
    cloud().injectFault(
        {{"action", "list_gateways"}, {"status", 200}, {"body", R"({"return": true, "results": [
            {"gw_name": "azu-use-transit-gw", "account_name": "azure-transit",
             "vpc_id": "transit-vnet-2:rg-transit"},
            {"gw_name": "azu-use-transit-gw", "account_name": "other", "vpc_id": "x:rg-x"}]})"}});
    auto [cred, transit] = lookup(kGw);
    ASSERT_TRUE(transit);
    EXPECT_EQ(transit->name(), "transit-vnet-2");
}

TEST_F(TransitTest, EachControllerFailureGivesItsLineAndNothing) {
    struct Case {
        Json fault;  // null: the controller answers normally
        std::string gateway;
        std::string line;
        int controllerCalls;
    };
    const std::vector<Case> cases = {
        {{{"action", "list_gateways"}, {"status", 200}},
         kGw,
         "error:   **Error** Failed to get gateway info from controller",
         1},
        {nullptr, "azu-missing-gw",
         "error:   **Error** No account info for transit gateway azu-missing-gw found in "
         "controller",
         1},
        {{{"action", "list_gateways"}, {"status", 403}},
         kGw,
         "error:   **Error** No account info for transit gateway azu-use-transit-gw found in "
         "controller",
         1},
        {{{"action", "list_accounts"}, {"status", 200}},
         kGw,
         "error:   **Error** Failed to get account info from controller",
         2},
        {nullptr, "azu-usw-transit-gw",
         "error:   **Error** Failed to identify Azure account info for retired-account", 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        cloud().clearFaults();
        cloud().resetCounters();
        if (!c.fault.is_null())
            cloud().injectFault(c.fault);
        restart();
        auto [cred, transit] = lookup(c.gateway);
        EXPECT_FALSE(cred);
        EXPECT_FALSE(transit);
        EXPECT_EQ(lines(), (std::vector<std::string>{
                               "info: - Lookup transit gw account and vnet info", c.line}));
        EXPECT_EQ(cloud().counters()["controller"], c.controllerCalls);
    }
}

// In an account run the controller's gateway list, which grows with every spoke, is asked for
// once; a refusal is not kept, and the next account asks again.
TEST_F(TransitTest, GatewaysAreAskedForOncePerAccountRunAndARefusalIsNotKept) {
    auto& kept = dm::arm::keptListings();
    kept.startAccount();
    cloud().injectFault({{"action", "list_gateways"}, {"status", 200}});
    std::vector<int> listed;
    for (int i = 0; i < 3; ++i) {
        cloud().resetCounters();
        EXPECT_EQ(lookup(kGw).second.has_value(), i > 0);
        listed.push_back(cloud().counters()["controller"].get<int>());
    }
    EXPECT_EQ(listed, (std::vector<int>{1, 2, 1}));  // refused; listed and kept; kept
    kept.endAccount();
    kept.startAccount();
    cloud().resetCounters();
    EXPECT_TRUE(lookup(kGw).second);
    EXPECT_EQ(cloud().counters()["controller"], 2);
    kept.endAccount();
}

}  // namespace

// VNet gateway detection against the emulator's Resource Graph: one line per call, true only for
// a gateway of exactly the type asked for.
#include "library_fixture.hpp"

#include "platform/azure/errors.hpp"

namespace {

using dm::arm::SwitchTraffic;
using dm::emu::Json;

const std::string kSub = "66666666-aaaa-bbbb-cccc-000000000006";

Json spoke(const std::string& name, const std::string& cidr) {
    return {{"name", name}, {"addressPrefixes", {cidr}}};
}

Json gateway(const std::string& name, const std::string& vnet, const Json& type) {
    Json g = {{"name", name}, {"virtualNetwork", vnet}};
    if (!type.is_null())
        g["gatewayType"] = type;
    return g;
}

Json topology() {
    return {{"subscriptions",
             {{{"id", kSub},
               {"resourceGroups",
                {{{"name", "rg-net"},
                  {"virtualNetworks",
                   {spoke("spoke-vpn", "10.1.0.0/16"), spoke("spoke-er", "10.2.0.0/16"),
                    spoke("spoke-both", "10.3.0.0/16"), spoke("spoke-none", "10.4.0.0/16"),
                    spoke("spoke-untyped", "10.5.0.0/16")}},
                  {"virtualNetworkGateways",
                   {gateway("vng-vpn", "spoke-vpn", "Vpn"),
                    gateway("vng-er", "spoke-er", "ExpressRoute"),
                    gateway("vng-both-er", "spoke-both", "ExpressRoute"),
                    gateway("vng-both-vpn", "spoke-both", "Vpn"),
                    gateway("vng-untyped", "spoke-untyped", Json())}}}}}}}}};
}

class GatewayDetectionTest : public dm::testing::LibraryFixture {
  protected:
    void SetUp() override {
        LibraryFixture::SetUp();
        startCloud(topology());
    }

    bool detect(const std::string& vnetName, const std::string& type) {
        return SwitchTraffic::isVnetWithVng(credential(kSub), vnet(kSub, "rg-net", vnetName), type);
    }

    // Makes the next Resource Graph query answer `rows`.
    void answerRows(const Json& rows) {
        const Json body = {{"totalRecords", rows.size()},
                           {"count", rows.size()},
                           {"data", rows},
                           {"facets", Json::array()},
                           {"resultTruncated", "false"}};
        cloud().injectFault({{"path", "Microsoft.ResourceGraph/resources"},
                             {"status", 200},
                             {"body", body.dump()}});
    }
};

TEST_F(GatewayDetectionTest, AnswersPerGatewayType) {
    struct Case {
        std::string vnet;
        std::string type;
        bool expected;
        std::string line;
    };
    const std::vector<Case> cases = {
        {"spoke-vpn", SwitchTraffic::VPN, true, "- vnet spoke-vpn has VNG - Vpn"},
        {"spoke-vpn", SwitchTraffic::ER, false,
         "- vnet spoke-vpn has VNG but NOT type ExpressRoute"},
        {"spoke-er", SwitchTraffic::VPN, false, "- vnet spoke-er has VNG but NOT type Vpn"},
        {"spoke-er", SwitchTraffic::ER, true, "- vnet spoke-er has VNG - ExpressRoute"},
        // The ExpressRoute row comes first; the walk goes on to the VPN one.
        {"spoke-both", SwitchTraffic::VPN, true, "- vnet spoke-both has VNG - Vpn"},
        {"spoke-both", SwitchTraffic::ER, true, "- vnet spoke-both has VNG - ExpressRoute"},
        {"spoke-none", SwitchTraffic::VPN, false, "- vnet spoke-none has no VNG"},
        {"spoke-none", SwitchTraffic::ER, false, "- vnet spoke-none has no VNG"},
        // The type is compared exactly.
        {"spoke-vpn", "vpn", false, "- vnet spoke-vpn has VNG but NOT type vpn"},
        {"spoke-untyped", SwitchTraffic::VPN, false,
         "- vnet spoke-untyped has VNG but NOT type Vpn"},
    };
    std::vector<std::string> expectedLines;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.vnet + " " + c.type);
        EXPECT_EQ(detect(c.vnet, c.type), c.expected);
        expectedLines.push_back("info: " + c.line);
    }
    EXPECT_EQ(lines(), expectedLines);
    EXPECT_TRUE(writeLog().empty());
}

TEST_F(GatewayDetectionTest, RowsWithoutTheTypeColumnArePassedOver) {
    answerRows(Json::array({{{"other", "x"}}, {{"properties_gatewayType", "Vpn"}}}));
    EXPECT_TRUE(detect("spoke-none", SwitchTraffic::VPN));
    answerRows(Json::array({{{"other", "x"}}, {{"name", "vng"}}}));
    EXPECT_FALSE(detect("spoke-none", SwitchTraffic::VPN));
    EXPECT_EQ(lines(),
              (std::vector<std::string>{"info: - vnet spoke-none has VNG - Vpn",
                                        "info: - vnet spoke-none has VNG but NOT type Vpn"}));
}

TEST_F(GatewayDetectionTest, FailedQueryGoesToTheCallerUnlogged) {
    cloud().injectFault({{"path", "Microsoft.ResourceGraph/resources"},
                         {"status", 403},
                         {"code", "AuthorizationFailed"},
                         {"message", "No access."}});
    EXPECT_THROW(detect("spoke-vpn", SwitchTraffic::VPN), dm::azure::ArmError);
    EXPECT_TRUE(lines().empty());
}

}  // namespace

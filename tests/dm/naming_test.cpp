// The library frame: gateway naming, CIDR containment and the dry-run flag.
#include <gtest/gtest.h>

#include "core/error.hpp"
#include "dm/arm/cutoverlib.hpp"
#include "support/scoped_run.hpp"

using dm::Record;
using dm::arm::SwitchTraffic;

TEST(Naming, SpokeNameFromCidrPadsEachOctetInLowerCaseHex) {
    EXPECT_EQ(SwitchTraffic::deduceGwNameWithSubnetCidr("eastus", "10.20.30.0/26"),
              "azu-use-0a141e00-gw");
    EXPECT_EQ(SwitchTraffic::deduceGwNameWithSubnetCidr("westus2", "172.16.5.64/28"),
              "azu-usw2-ac100540-gw");
    EXPECT_EQ(SwitchTraffic::deduceGwNameWithSubnetCidr("japaneast", "10.1.0.0/16"),
              "azu-jae-0a010000-gw");
    // The prefix length plays no part; the address is used as written.
    EXPECT_EQ(SwitchTraffic::deduceGwNameWithSubnetCidr("eastus", "10.20.30.0/24"),
              "azu-use-0a141e00-gw");
    EXPECT_EQ(SwitchTraffic::deduceGwNameWithSubnetCidr("eastus", "10.20.30.5/26"),
              "azu-use-0a141e05-gw");
    EXPECT_EQ(SwitchTraffic::deduceGwNameWithSubnetCidr("chinanorth2", "10.20.30.5"),
              "azu-chn2-0a141e05-gw");
}

TEST(Naming, SpokeNameFailures) {
    EXPECT_THROW(SwitchTraffic::deduceGwNameWithSubnetCidr("eastus2", "10.0.0.0/24"), dm::Error);
    EXPECT_THROW(SwitchTraffic::deduceGwNameWithSubnetCidr("eastus", "10.0.0/24"), dm::Error);
    EXPECT_THROW(SwitchTraffic::deduceGwNameWithSubnetCidr("eastus", "10.x.0.0/24"), dm::Error);
    EXPECT_THROW(SwitchTraffic::deduceGwNameWithSubnetCidr("eastus", ""), dm::Error);
    try {
        SwitchTraffic::deduceTransitNameWithRegion("eastus2");
        FAIL() << "eastus2 has no region code";
    } catch (const dm::Error& e) {
        EXPECT_STREQ(e.what(), "no region code for location 'eastus2'");
    }
}

TEST(Naming, TransitNameAndRegionMap) {
    EXPECT_EQ(SwitchTraffic::deduceTransitNameWithRegion("westeurope"), "azu-euw-transit-gw");
    EXPECT_EQ(SwitchTraffic::deduceTransitNameWithRegion("southeastasia"), "azu-asse-transit-gw");
    EXPECT_EQ(SwitchTraffic::deduceTransitNameWithRegion("chinaeast2"), "azu-che2-transit-gw");
    EXPECT_EQ(SwitchTraffic::region.size(), 10u);
    EXPECT_THROW(SwitchTraffic::deduceTransitNameWithRegion("EastUS"), dm::Error);
}

TEST(Naming, GwNameFromMapFallsBackToComposedName) {
    Record map = {{"vnet-1-acct", "custom-name"}};
    EXPECT_EQ(SwitchTraffic::deduceGwName(map, "vnet-1", "spoke", "acct"), "custom-name");
    EXPECT_EQ(SwitchTraffic::deduceGwName(Record::object(), "vnet-1", "spoke", "acct"),
              "spoke-acct-gw");
    EXPECT_EQ(SwitchTraffic::deduceGwName(Record::object(), 12, "spoke", 345), "spoke-345-gw");
}

TEST(Frame, PrefixContainmentAndDryRunFlag) {
    std::vector<dm::IpNetwork> allowed = {dm::IpNetwork::parse("10.0.0.0/8"),
                                          dm::IpNetwork::parse("192.168.0.0/16")};
    EXPECT_TRUE(SwitchTraffic::isExpectedVpcPrefix("10.1.2.0/24", allowed));
    EXPECT_FALSE(SwitchTraffic::isExpectedVpcPrefix("172.16.0.0/12", allowed));
    EXPECT_FALSE(SwitchTraffic::isExpectedVpcPrefix("fd00::/64", allowed));
    EXPECT_FALSE(SwitchTraffic::isExpectedVpcPrefix("10.1.0.0/16", {}));
    EXPECT_THROW(SwitchTraffic::isExpectedVpcPrefix("10.1.0.1/16", allowed), dm::Error);

    dm::testing::ScopedRun scoped;
    EXPECT_FALSE(SwitchTraffic::DryRun);
    SwitchTraffic::setDryRun();
    SwitchTraffic::setDryRun();
    EXPECT_TRUE(SwitchTraffic::DryRun);
}

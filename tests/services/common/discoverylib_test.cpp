// DiscoveryLib: route-table use within one VNet, and the controller's own subnets.

#include <gtest/gtest.h>

#include "services/common/discoverylib.hpp"

namespace dm {
namespace {

const std::string kVnets =
    "/subscriptions/s/resourceGroups/rg/providers/Microsoft.Network/virtualNetworks/";
const std::string kRtb =
    "/subscriptions/s/resourceGroups/rg/providers/Microsoft.Network/routeTables/rt-a";

azure::VirtualNetwork vnet(const std::string& name, Record subnets) {
    return azure::VirtualNetwork(Record{
        {"id", kVnets + name}, {"name", name}, {"properties", {{"subnets", std::move(subnets)}}}});
}

Record subnetOn(const std::string& vnetName, const std::string& subnet,
                const std::optional<std::string>& rtbId) {
    Record s{{"id", kVnets + vnetName + "/subnets/" + subnet},
             {"name", subnet},
             {"properties", Record::object()}};
    if (rtbId)
        s["properties"]["routeTable"] = {{"id", *rtbId}};
    return s;
}

azure::RouteTable table(Record subnetIds) {
    Record refs = Record::array();
    for (const auto& id : subnetIds)
        refs.push_back({{"id", id}});
    return azure::RouteTable(
        Record{{"id", kRtb}, {"name", "rt-a"}, {"properties", {{"subnets", std::move(refs)}}}});
}

TEST(DiscoveryLibTest, RouteTableUseIsSeenFromEitherRecord) {
    // The VNet's subnet names the table, in other letter case than the table's own id.
    std::string upper = kRtb;
    upper.replace(upper.find("rg"), 2, "RG");
    EXPECT_TRUE(DiscoveryLib::isRouteTableUsedInVnet(
        table(Record::array()), vnet("vnet1", Record::array({subnetOn("vnet1", "a", upper)}))));
    // Only the table lists the subnet (a VNet record read without subnet details).
    EXPECT_TRUE(DiscoveryLib::isRouteTableUsedInVnet(
        table(Record::array({kVnets + "VNET1/subnets/a"})), vnet("vnet1", Record::array())));
    // A subnet of "vnet10" does not make the table used in "vnet1".
    EXPECT_FALSE(DiscoveryLib::isRouteTableUsedInVnet(
        table(Record::array({kVnets + "vnet10/subnets/a"})),
        vnet("vnet1", Record::array({subnetOn("vnet1", "a", std::nullopt)}))));
    EXPECT_FALSE(DiscoveryLib::isRouteTableUsedInVnet(
        table(Record::array()),
        vnet("vnet1", Record::array({subnetOn("vnet1", "a", kRtb + "-other")}))));
}

TEST(DiscoveryLibTest, SpokeGatewaySubnetsMatchByFragment) {
    EXPECT_TRUE(DiscoveryLib::isTelvaneSpokeSubnet("vnet1-tlvx-spoke-gw-subnet"));
    EXPECT_TRUE(DiscoveryLib::isTelvaneSpokeSubnet("tlvx-spoke-hagw-subnet-2"));
    EXPECT_FALSE(DiscoveryLib::isTelvaneSpokeSubnet("app-subnet"));
    EXPECT_EQ(DiscoveryLib::VNET_I, 8u);
}

}  // namespace
}  // namespace dm

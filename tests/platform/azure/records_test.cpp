// Records read ARM's JSON under the SDK's names and send the whole record back on a write.

#include <gtest/gtest.h>

#include <sstream>

#include "platform/azure/records.hpp"

namespace dm::azure {
namespace {

const char* kSubnet = R"({
  "id": "/subscriptions/s/resourceGroups/rg/providers/Microsoft.Network/virtualNetworks/v/subnets/app",
  "name": "app", "etag": "W/\"1\"",
  "properties": {
    "addressPrefix": "10.1.1.0/24",
    "networkSecurityGroup": {"id": "/nsg/app"},
    "routeTable": {"id": "/rt/old"},
    "serviceEndpoints": [{"service": "Microsoft.Storage", "locations": ["eastus"]}],
    "delegations": [{"name": "d0", "properties": {"serviceName": "Microsoft.Web/serverFarms"}}],
    "privateEndpointNetworkPolicies": "Disabled",
    "futureProperty": {"nested": [1, 2]}
  }
})";

TEST(RecordsTest, SubnetUpdateKeepsEverythingButTheRouteTable) {
    Subnet subnet(Record::parse(kSubnet));
    EXPECT_EQ(subnet.route_table(), std::optional<std::string>("/rt/old"));
    EXPECT_EQ(subnet.network_security_group(), std::optional<std::string>("/nsg/app"));

    RouteTable table(Record::parse(R"({"id": "/rt/new", "name": "new", "location": "eastus",
        "tags": {"vnet": "v"}, "properties": {"routes": [{"name": "default"}]}})"));
    subnet.set_route_table(table);
    Record expected = Record::parse(kSubnet);
    // Only the id of the table goes into the subnet, whatever else the table record holds.
    expected["properties"]["routeTable"] = Record{{"id", "/rt/new"}};
    EXPECT_EQ(subnet.writeBody(), expected);
    // Key order is kept, so the body reads like the GET it came from.
    EXPECT_EQ(subnet.writeBody().dump(), expected.dump());

    subnet.set_route_table(std::nullopt);
    EXPECT_EQ(subnet.route_table(), std::nullopt);
    EXPECT_FALSE(subnet.writeBody()["properties"].contains("routeTable"));
    EXPECT_TRUE(subnet.writeBody()["properties"].contains("futureProperty"));
}

TEST(RecordsTest, VnetAndRouteTableFields) {
    VirtualNetwork vnet(Record::parse(R"({"id": "/v", "name": "spoke-a", "location": "eastus",
      "properties": {"addressSpace": {"addressPrefixes": ["10.1.0.0/16", "10.2.0.0/16"]},
        "subnets": [{"name": "app", "properties": {"routeTable": {"id": "/rt/a"}}},
                    {"name": "db", "properties": {}}],
        "virtualNetworkPeerings": [{"name": "to-hub", "properties": {
          "remoteVirtualNetwork": {"id": "/hub"}, "allowGatewayTransit": false,
          "useRemoteGateways": true}}]}})"));
    EXPECT_EQ(vnet.location(), std::optional<std::string>("eastus"));
    EXPECT_EQ(vnet.address_prefixes(), (std::vector<std::string>{"10.1.0.0/16", "10.2.0.0/16"}));
    ASSERT_EQ(vnet.subnets().size(), 2u);
    EXPECT_EQ(vnet.subnets()[1].route_table(), std::nullopt);
    auto peering = vnet.virtual_network_peerings().at(0);
    EXPECT_EQ(peering.remote_virtual_network(), std::optional<std::string>("/hub"));
    EXPECT_EQ(peering.allow_gateway_transit(), std::optional<bool>(false));
    EXPECT_EQ(peering.use_remote_gateways(), std::optional<bool>(true));
    EXPECT_EQ(peering.allow_forwarded_traffic(), std::nullopt);  // absent, not false

    RouteTable bare(Record::parse(R"({"id": "/rt", "name": "rt", "properties": {}})"));
    EXPECT_TRUE(bare.tags().is_null());
    EXPECT_EQ(bare.subnets(), std::nullopt);
    EXPECT_EQ(bare.disable_bgp_route_propagation(), std::nullopt);
    bare.set_disable_bgp_route_propagation(true);
    EXPECT_EQ(bare.writeBody()["properties"]["disableBgpRoutePropagation"], true);

    // Records that are not quite ARM's shape read as absent instead of throwing.
    VirtualNetwork odd(Record::parse(R"({"name": 5, "properties": {"addressSpace": [],
        "subnets": {}}})"));
    EXPECT_EQ(odd.name(), "");
    EXPECT_TRUE(odd.address_prefixes().empty());
    EXPECT_TRUE(odd.subnets().empty());
}

TEST(RecordsTest, PeeringFlagsAndSdkNames) {
    VirtualNetworkPeering peering(Record::parse(R"({"name": "p", "properties": {
      "allowForwardedTraffic": false, "useRemoteGateways": true}})"));
    peering.set_use_remote_gateways(false);
    EXPECT_EQ(peering.use_remote_gateways(), std::optional<bool>(false));
    peering.set_allow_forwarded_traffic(std::nullopt);
    EXPECT_FALSE(peering.json()["properties"].contains("allowForwardedTraffic"));

    EXPECT_EQ(camelCaseKey("allow_virtual_network_access"), "allowVirtualNetworkAccess");
    EXPECT_EQ(camelCaseKey("id"), "id");
}

TEST(RecordsTest, HubConnectionWriteDropsReportedBgpConnections) {
    HubVirtualNetworkConnection connection(Record::parse(R"({"name": "c", "properties": {
      "remoteVirtualNetwork": {"id": "/spoke"}, "enableInternetSecurity": false,
      "routingConfiguration": {"vnetRoutes": {"staticRoutes": [], "bgpConnections": [{"id": "/b"}]},
        "associatedRouteTable": {"id": "/hrt"}}}})"));
    Record body = connection.writeBody();
    EXPECT_FALSE(
        body["properties"]["routingConfiguration"]["vnetRoutes"].contains("bgpConnections"));
    EXPECT_TRUE(body["properties"]["routingConfiguration"]["vnetRoutes"].contains("staticRoutes"));
    // The record itself still shows what the service reported.
    EXPECT_TRUE(connection.routing_configuration()["vnetRoutes"].contains("bgpConnections"));
    EXPECT_EQ(connection.remote_virtual_network(), std::optional<std::string>("/spoke"));
}

TEST(RecordsTest, TextFormNamesTheRecord) {
    VirtualNetwork vnet(
        Record::parse(R"({"id": "/subscriptions/s/x/spoke-a", "name": "spoke-a"})"));
    std::ostringstream out;
    out << vnet;
    EXPECT_EQ(out.str(), "VirtualNetwork(name=spoke-a, id=/subscriptions/s/x/spoke-a)");
    const Resource& base = ManagementLockObject(Record::parse(R"({"name": "l"})"));
    EXPECT_EQ(base.toString(), "ManagementLockObject(name=l, id=)");
}

}  // namespace
}  // namespace dm::azure

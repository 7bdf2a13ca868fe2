#include "platform/azure/network_client.hpp"

#include <iterator>
#include <optional>

#include "core/json.hpp"

namespace dm::azure {

namespace {

template <class T>
std::vector<ListItem<T>> listOf(const NetworkScope& scope, const std::string& path) {
    auto items = scope.pipeline->listItems(scope.pipeline->url(path, kNetworkApiVersion), path);
    return {std::make_move_iterator(items.begin()), std::make_move_iterator(items.end())};
}

template <class T>
T getOne(const NetworkScope& scope, const std::string& path) {
    auto response = scope.pipeline->send("GET", scope.pipeline->url(path, kNetworkApiVersion),
                                         std::nullopt, {200}, path);
    auto body = parseJsonObject(response.body);
    if (!body)
        throw Error("unreadable answer to GET " + path);
    return T(std::move(*body));
}

template <class T>
Poller<T> put(const NetworkScope& scope, const std::string& path, const Resource& parameters) {
    return Poller<T>(std::make_shared<LroOperation>(scope.pipeline, "PUT",
                                                    scope.pipeline->url(path, kNetworkApiVersion),
                                                    parameters.writeBody(), path));
}

Poller<void> remove(const NetworkScope& scope, const std::string& path) {
    return Poller<void>(std::make_shared<LroOperation>(
        scope.pipeline, "DELETE", scope.pipeline->url(path, kNetworkApiVersion), std::nullopt,
        path));
}

std::string seg(const std::string& name) {
    return encodeUriComponent(name);
}

}  // namespace

std::string NetworkScope::resourcePath(const std::string& resourceGroup,
                                       const std::string& rest) const {
    return "/subscriptions/" + seg(subscriptionId) + "/resourceGroups/" + seg(resourceGroup) +
           "/providers/Microsoft.Network/" + rest;
}

// virtual_networks

std::vector<ListItem<VirtualNetwork>> VirtualNetworksOperations::list_all() const {
    return listOf<VirtualNetwork>(*scope_, "/subscriptions/" + seg(scope_->subscriptionId) +
                                               "/providers/Microsoft.Network/virtualNetworks");
}

std::vector<ListItem<VirtualNetwork>> VirtualNetworksOperations::list(
    const std::string& resourceGroup) const {
    return listOf<VirtualNetwork>(*scope_, scope_->resourcePath(resourceGroup, "virtualNetworks"));
}

VirtualNetwork VirtualNetworksOperations::get(const std::string& resourceGroup,
                                              const std::string& vnetName) const {
    return getOne<VirtualNetwork>(
        *scope_, scope_->resourcePath(resourceGroup, "virtualNetworks/" + seg(vnetName)));
}

// subnets

std::vector<ListItem<Subnet>> SubnetsOperations::list(const std::string& resourceGroup,
                                                      const std::string& vnetName) const {
    return listOf<Subnet>(
        *scope_,
        scope_->resourcePath(resourceGroup, "virtualNetworks/" + seg(vnetName) + "/subnets"));
}

Subnet SubnetsOperations::get(const std::string& resourceGroup, const std::string& vnetName,
                              const std::string& subnetName) const {
    return getOne<Subnet>(*scope_,
                          scope_->resourcePath(resourceGroup, "virtualNetworks/" + seg(vnetName) +
                                                                  "/subnets/" + seg(subnetName)));
}

Poller<Subnet> SubnetsOperations::begin_create_or_update(const std::string& resourceGroup,
                                                         const std::string& vnetName,
                                                         const std::string& subnetName,
                                                         const Subnet& subnetParameters) const {
    return put<Subnet>(*scope_,
                       scope_->resourcePath(resourceGroup, "virtualNetworks/" + seg(vnetName) +
                                                               "/subnets/" + seg(subnetName)),
                       subnetParameters);
}

// route_tables

std::vector<ListItem<RouteTable>> RouteTablesOperations::list_all() const {
    return listOf<RouteTable>(*scope_, "/subscriptions/" + seg(scope_->subscriptionId) +
                                           "/providers/Microsoft.Network/routeTables");
}

std::vector<ListItem<RouteTable>> RouteTablesOperations::list(
    const std::string& resourceGroup) const {
    return listOf<RouteTable>(*scope_, scope_->resourcePath(resourceGroup, "routeTables"));
}

RouteTable RouteTablesOperations::get(const std::string& resourceGroup,
                                      const std::string& routeTableName) const {
    return getOne<RouteTable>(
        *scope_, scope_->resourcePath(resourceGroup, "routeTables/" + seg(routeTableName)));
}

Poller<RouteTable> RouteTablesOperations::begin_create_or_update(
    const std::string& resourceGroup, const std::string& routeTableName,
    const RouteTable& parameters) const {
    return put<RouteTable>(
        *scope_, scope_->resourcePath(resourceGroup, "routeTables/" + seg(routeTableName)),
        parameters);
}

// virtual_network_peerings

namespace {
std::string peeringsPath(const NetworkScope& scope, const std::string& resourceGroup,
                         const std::string& vnetName) {
    return scope.resourcePath(resourceGroup,
                              "virtualNetworks/" + seg(vnetName) + "/virtualNetworkPeerings");
}
}  // namespace

std::vector<ListItem<VirtualNetworkPeering>> VirtualNetworkPeeringsOperations::list(
    const std::string& resourceGroup, const std::string& vnetName) const {
    return listOf<VirtualNetworkPeering>(*scope_, peeringsPath(*scope_, resourceGroup, vnetName));
}

VirtualNetworkPeering VirtualNetworkPeeringsOperations::get(const std::string& resourceGroup,
                                                            const std::string& vnetName,
                                                            const std::string& peeringName) const {
    return getOne<VirtualNetworkPeering>(
        *scope_, peeringsPath(*scope_, resourceGroup, vnetName) + "/" + seg(peeringName));
}

Poller<VirtualNetworkPeering> VirtualNetworkPeeringsOperations::begin_create_or_update(
    const std::string& resourceGroup, const std::string& vnetName, const std::string& peeringName,
    const VirtualNetworkPeering& parameters) const {
    return put<VirtualNetworkPeering>(
        *scope_, peeringsPath(*scope_, resourceGroup, vnetName) + "/" + seg(peeringName),
        parameters);
}

Poller<void> VirtualNetworkPeeringsOperations::begin_delete(const std::string& resourceGroup,
                                                            const std::string& vnetName,
                                                            const std::string& peeringName) const {
    return remove(*scope_, peeringsPath(*scope_, resourceGroup, vnetName) + "/" + seg(peeringName));
}

// virtual_hubs

std::vector<ListItem<VirtualHub>> VirtualHubsOperations::list() const {
    return listOf<VirtualHub>(*scope_, "/subscriptions/" + seg(scope_->subscriptionId) +
                                           "/providers/Microsoft.Network/virtualHubs");
}

std::vector<ListItem<VirtualHub>> VirtualHubsOperations::list_by_resource_group(
    const std::string& resourceGroup) const {
    return listOf<VirtualHub>(*scope_, scope_->resourcePath(resourceGroup, "virtualHubs"));
}

VirtualHub VirtualHubsOperations::get(const std::string& resourceGroup,
                                      const std::string& hubName) const {
    return getOne<VirtualHub>(*scope_,
                              scope_->resourcePath(resourceGroup, "virtualHubs/" + seg(hubName)));
}

// hub_virtual_network_connections

namespace {
std::string connectionsPath(const NetworkScope& scope, const std::string& resourceGroup,
                            const std::string& hubName) {
    return scope.resourcePath(resourceGroup,
                              "virtualHubs/" + seg(hubName) + "/hubVirtualNetworkConnections");
}
}  // namespace

std::vector<ListItem<HubVirtualNetworkConnection>> HubVirtualNetworkConnectionsOperations::list(
    const std::string& resourceGroup, const std::string& hubName) const {
    return listOf<HubVirtualNetworkConnection>(*scope_,
                                               connectionsPath(*scope_, resourceGroup, hubName));
}

HubVirtualNetworkConnection HubVirtualNetworkConnectionsOperations::get(
    const std::string& resourceGroup, const std::string& hubName,
    const std::string& connectionName) const {
    return getOne<HubVirtualNetworkConnection>(
        *scope_, connectionsPath(*scope_, resourceGroup, hubName) + "/" + seg(connectionName));
}

Poller<HubVirtualNetworkConnection> HubVirtualNetworkConnectionsOperations::begin_create_or_update(
    const std::string& resourceGroup, const std::string& hubName, const std::string& connectionName,
    const HubVirtualNetworkConnection& parameters) const {
    return put<HubVirtualNetworkConnection>(
        *scope_, connectionsPath(*scope_, resourceGroup, hubName) + "/" + seg(connectionName),
        parameters);
}

Poller<void> HubVirtualNetworkConnectionsOperations::begin_delete(
    const std::string& resourceGroup, const std::string& hubName,
    const std::string& connectionName) const {
    return remove(*scope_,
                  connectionsPath(*scope_, resourceGroup, hubName) + "/" + seg(connectionName));
}

// client

NetworkManagementClient::NetworkManagementClient(std::shared_ptr<TokenCredential> credential,
                                                 std::string subscriptionId,
                                                 ArmClientOptions options)
    : scope_(std::make_shared<const NetworkScope>(NetworkScope{
          std::make_shared<const ArmPipeline>(std::move(credential), std::move(options)),
          std::move(subscriptionId)})),
      virtual_networks(scope_),
      subnets(scope_),
      route_tables(scope_),
      virtual_network_peerings(scope_),
      virtual_hubs(scope_),
      hub_virtual_network_connections(scope_) {}

}  // namespace dm::azure

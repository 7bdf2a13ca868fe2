#pragma once
// Microsoft.Network calls of one subscription, named as in the Azure SDK for Python so that
// callers read `network_client.subnets.begin_create_or_update(...).result()`. Listings give
// ListItem<T>s: cheap reads of each item, and item.resource() for the typed record.

#include <memory>
#include <string>
#include <vector>

#include "platform/azure/credential.hpp"
#include "platform/azure/list_item.hpp"
#include "platform/azure/pipeline.hpp"
#include "platform/azure/poller.hpp"
#include "platform/azure/records.hpp"

namespace dm::azure {

// Shared by the operation groups of one client: the pipeline and the subscription.
struct NetworkScope {
    std::shared_ptr<const ArmPipeline> pipeline;
    std::string subscriptionId;

    // "/subscriptions/<sub>/resourceGroups/<rg>/providers/Microsoft.Network/" + rest, with the
    // names percent-encoded.
    std::string resourcePath(const std::string& resourceGroup, const std::string& rest) const;
};

class VirtualNetworksOperations {
  public:
    explicit VirtualNetworksOperations(std::shared_ptr<const NetworkScope> scope)
        : scope_(std::move(scope)) {}
    // Every VNet of the subscription, in the order Azure lists them (all pages).
    std::vector<ListItem<VirtualNetwork>> list_all() const;
    // Every VNet of the resource group (all pages).
    std::vector<ListItem<VirtualNetwork>> list(const std::string& resourceGroup) const;
    // The VNet; throws ResourceNotFoundError when it does not exist.
    VirtualNetwork get(const std::string& resourceGroup, const std::string& vnetName) const;

  private:
    std::shared_ptr<const NetworkScope> scope_;
};

class SubnetsOperations {
  public:
    explicit SubnetsOperations(std::shared_ptr<const NetworkScope> scope)
        : scope_(std::move(scope)) {}
    // Every subnet of the VNet (all pages); throws ResourceNotFoundError for a missing VNet.
    std::vector<ListItem<Subnet>> list(const std::string& resourceGroup,
                                       const std::string& vnetName) const;
    // The subnet; throws ResourceNotFoundError when it does not exist.
    Subnet get(const std::string& resourceGroup, const std::string& vnetName,
               const std::string& subnetName) const;
    // Starts the PUT of the whole subnet record (throws at once when ARM refuses it);
    // result() waits and returns the subnet as stored.
    Poller<Subnet> begin_create_or_update(const std::string& resourceGroup,
                                          const std::string& vnetName,
                                          const std::string& subnetName,
                                          const Subnet& subnetParameters) const;

  private:
    std::shared_ptr<const NetworkScope> scope_;
};

class RouteTablesOperations {
  public:
    explicit RouteTablesOperations(std::shared_ptr<const NetworkScope> scope)
        : scope_(std::move(scope)) {}
    // Every route table of the subscription, in listing order (all pages).
    std::vector<ListItem<RouteTable>> list_all() const;
    // Every route table of the resource group (all pages).
    std::vector<ListItem<RouteTable>> list(const std::string& resourceGroup) const;
    // The route table; throws ResourceNotFoundError when it does not exist.
    RouteTable get(const std::string& resourceGroup, const std::string& routeTableName) const;
    // Starts the PUT of the whole route table (throws at once when ARM refuses it); result()
    // waits and returns the table as stored.
    Poller<RouteTable> begin_create_or_update(const std::string& resourceGroup,
                                              const std::string& routeTableName,
                                              const RouteTable& parameters) const;

  private:
    std::shared_ptr<const NetworkScope> scope_;
};

class VirtualNetworkPeeringsOperations {
  public:
    explicit VirtualNetworkPeeringsOperations(std::shared_ptr<const NetworkScope> scope)
        : scope_(std::move(scope)) {}
    // Every peering of the VNet (all pages); throws ResourceNotFoundError for a missing VNet.
    std::vector<ListItem<VirtualNetworkPeering>> list(const std::string& resourceGroup,
                                                      const std::string& vnetName) const;
    // The peering; throws ResourceNotFoundError when it does not exist.
    VirtualNetworkPeering get(const std::string& resourceGroup, const std::string& vnetName,
                              const std::string& peeringName) const;
    // Starts the PUT of the peering (throws at once when ARM refuses it); result() waits and
    // returns the peering as stored.
    Poller<VirtualNetworkPeering> begin_create_or_update(
        const std::string& resourceGroup, const std::string& vnetName,
        const std::string& peeringName, const VirtualNetworkPeering& parameters) const;
    // Starts the DELETE of the peering (throws at once when ARM refuses it, e.g. ScopeLocked);
    // result() returns once it is gone. A missing peering completes at once.
    Poller<void> begin_delete(const std::string& resourceGroup, const std::string& vnetName,
                              const std::string& peeringName) const;

  private:
    std::shared_ptr<const NetworkScope> scope_;
};

class VirtualHubsOperations {
  public:
    explicit VirtualHubsOperations(std::shared_ptr<const NetworkScope> scope)
        : scope_(std::move(scope)) {}
    // Every virtual hub of the subscription (all pages).
    std::vector<ListItem<VirtualHub>> list() const;
    // Every virtual hub of the resource group (all pages).
    std::vector<ListItem<VirtualHub>> list_by_resource_group(
        const std::string& resourceGroup) const;
    // The hub; throws ResourceNotFoundError when it does not exist.
    VirtualHub get(const std::string& resourceGroup, const std::string& hubName) const;

  private:
    std::shared_ptr<const NetworkScope> scope_;
};

class HubVirtualNetworkConnectionsOperations {
  public:
    explicit HubVirtualNetworkConnectionsOperations(std::shared_ptr<const NetworkScope> scope)
        : scope_(std::move(scope)) {}
    // Every connection of the hub (all pages).
    std::vector<ListItem<HubVirtualNetworkConnection>> list(const std::string& resourceGroup,
                                                            const std::string& hubName) const;
    // The connection; throws ResourceNotFoundError when it does not exist.
    HubVirtualNetworkConnection get(const std::string& resourceGroup, const std::string& hubName,
                                    const std::string& connectionName) const;
    // Starts the PUT of the connection (throws at once when ARM refuses it); result() waits and
    // returns the connection as stored.
    Poller<HubVirtualNetworkConnection> begin_create_or_update(
        const std::string& resourceGroup, const std::string& hubName,
        const std::string& connectionName, const HubVirtualNetworkConnection& parameters) const;
    // Starts the DELETE of the connection; result() returns once it is gone.
    Poller<void> begin_delete(const std::string& resourceGroup, const std::string& hubName,
                              const std::string& connectionName) const;

  private:
    std::shared_ptr<const NetworkScope> scope_;
};

class NetworkManagementClient {
  public:
    // A client of one subscription; it sends through the credential's transport. Throws
    // dm::Error when the credential is null.
    NetworkManagementClient(std::shared_ptr<TokenCredential> credential, std::string subscriptionId,
                            ArmClientOptions options = {});

    const std::string& subscriptionId() const { return scope_->subscriptionId; }

  private:
    std::shared_ptr<const NetworkScope> scope_;

  public:
    VirtualNetworksOperations virtual_networks;
    SubnetsOperations subnets;
    RouteTablesOperations route_tables;
    VirtualNetworkPeeringsOperations virtual_network_peerings;
    VirtualHubsOperations virtual_hubs;
    HubVirtualNetworkConnectionsOperations hub_virtual_network_connections;
};

}  // namespace dm::azure

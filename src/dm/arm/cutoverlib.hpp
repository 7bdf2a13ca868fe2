#pragma once
// SwitchTraffic: the switch operations library. Never instantiated: every operation is
// class-level, reads only the class attributes and its arguments, and logs through the logger
// "dm.arm.cutoverlib". Operations that change Azure check DryRun (the run's dry-run policy) just
// before each change call; the transports refuse any change that gets past such a check.

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/ip_network.hpp"
#include "core/record.hpp"
#include "platform/azure/network_client.hpp"
#include "platform/azure/records.hpp"
#include "platform/azure/resource_graph_client.hpp"
#include "services/common/yaml_context.hpp"
#include "services/context/command_options.hpp"
#include "services/context/run_context.hpp"

namespace dm::arm {

using azure::NetworkManagementClient;
using azure::RouteTable;
using azure::Subnet;
using azure::VirtualNetwork;
using azure::VirtualNetworkPeering;

// Original route-table name -> the original table's record (filled by a revert discovery).
using RouteTableInfo = std::map<std::string, RouteTable>;

// The remote end of a peering: resource group and VNet name as written in the remote VNet id,
// the remote peering's name and its record.
struct RemotePeering {
    std::string resourceGroup;
    std::string vnetName;
    std::string peeringName;
    VirtualNetworkPeering peering;
};

class SwitchTraffic {
  public:
    SwitchTraffic() = delete;

    // The run's dry-run policy under the library's name: true in a dry run.
    struct DryRunFlag {
        operator bool() const { return currentRun().dryRun.active(); }
    };
    static constexpr DryRunFlag DryRun{};
    // Gateway types of virtual network gateways, as Azure reports them.
    static inline const std::string VPN = "Vpn";
    static inline const std::string ER = "ExpressRoute";
    // Azure location to the short region code used in gateway names.
    static const std::map<std::string, std::string> region;

    // Makes the run a dry run.
    static void setDryRun();

    // True when the network `ip` lies wholly inside at least one of `prefixes`; throws dm::Error
    // when `ip` is not a valid network (bad syntax or host bits set).
    static bool isExpectedVpcPrefix(const std::string& ip, const std::vector<IpNetwork>& prefixes);

    // --- route-table discovery ---
    // The VNet's address prefixes that lie inside the option record's "allow_vnet_cidrs".
    static std::vector<std::string> discoverVpcCidr(const VirtualNetwork& vnet, const Record& yaml);
    // Appends the table's subnet references to `assocs`; nothing when it has none.
    static void discoverSubnetAssociation(const RouteTable& rtb, std::vector<Subnet>& assocs);
    // True when `rtb` is one of the VNet's two main route tables (same resource group).
    static bool isMainRtb(const VirtualNetwork& vnet, const RouteTable& rtb);
    // (stagedUdrLst, orgRouteTableInfo); fills `rtb_target_rtb_map` (an ordered name -> name map)
    // in place: original -> new forward, new -> original on revert.
    static std::pair<std::vector<std::string>, RouteTableInfo> discoverRouteTable(
        const NetworkManagementClient& network_client, bool revert, const VirtualNetwork& vnet,
        Record& rtb_target_rtb_map);
    // Logs each subnet's current route-table association.
    static void discoverSubnets(const NetworkManagementClient& network_client,
                                const VirtualNetwork& vnet);

    // --- subnet re-association ---
    // Moves every subnet to its new route table (or back on revert), waiting on each update.
    static void updateSubnetAssociation(const Record& yaml, bool revert,
                                        const NetworkManagementClient& network_client,
                                        const VirtualNetwork& vnet,
                                        const Record& rtb_target_rtb_map,
                                        const RouteTableInfo& orgRouteTableInfo);

    // --- gateway route propagation ---
    // Sets disable_bgp_route_propagation on the VNet's staged main and new tables; returns the
    // list of route-table property records of the tables changed.
    static Record setDisableAllRouteTablePropagationInVnet(
        const CommandOptions& args, const NetworkManagementClient& network_client,
        const VirtualNetwork& vnet, const std::vector<std::string>& stagedUdrLst,
        const Record& rtb_target_rtb_map, bool disableFlag);
    // The route-table property record of the change, or nullopt when nothing changed or the
    // table could not be handled.
    static std::optional<Record> setDisableRouteTablePropagation(
        const NetworkManagementClient& network_client, const VirtualNetwork& vnet,
        const std::string& rtbName, bool disableFlag);
    static void restoreRouteTablePropagationInVnet(const NetworkManagementClient& network_client,
                                                   const Record& rtbPropList);

    // --- lookups ---
    // The first page of the Resource Graph answer to `strQuery` over the credential's
    // subscription.
    static azure::QueryResponse getResources(const std::string& strQuery,
                                             const AzureCredential& cred);
    // True when the VNet's gateway subnet holds a gateway of type `vngType`.
    static bool isVnetWithVng(const AzureCredential& cred, const VirtualNetwork& vnet,
                              const std::string& vngType);

    // --- gateway and transit naming ---
    // The mapped gateway name for (vpcId-accountId), else vpcName-accountId-gw.
    static std::string deduceGwName(const Record& vpcAid2GwNameMap, const Record& vpcId,
                                    const Record& vpcName, const Record& accountId);
    // "azu-<region code>-<8 hex digits of the address>-gw"; throws dm::Error for a location
    // outside the region map or an address that is not four decimal parts.
    static std::string deduceGwNameWithSubnetCidr(const std::string& regionId,
                                                  const std::string& cidr);
    // "azu-<region code>-transit-gw"; throws dm::Error for a location outside the region map.
    static std::string deduceTransitNameWithRegion(const std::string& regionId);

    // --- peerings ---
    // The peering on the remote VNet that points back at the local peering's VNet, or nullopt.
    static std::optional<RemotePeering> getRemotePeering(const std::optional<AzureCredential>& cred,
                                                         const std::string& remotePeeringVnetId,
                                                         const std::string& localPeerId);
    // The first VNet of the client's subscription named `vnetName` (case-sensitive), as listed
    // (resource() builds the whole record), or nullopt.
    static std::optional<azure::ListItem<VirtualNetwork>> getVnet(
        const std::string& vnetName, const NetworkManagementClient& network_client);
    // Deletes both ends of the VNet's native peerings; returns the peering-pair list. A pair's
    // remote end is deleted only when its local end was. `recordAhead`, when given, gets each
    // pair appended before its deletion is sent.
    static Record deletePeerings(const Record& YAML, const std::string& subscriptionId,
                                 const VirtualNetwork& vnet,
                                 const NetworkManagementClient* local_network_client = nullptr,
                                 const std::optional<std::string>& exclude = std::nullopt,
                                 Record* recordAhead = nullptr);
    // Re-creates both ends of every peering of a peering-pair list. An end that is there and
    // connected (or waiting for its other end) is kept; one left Disconnected by the loss of
    // its other end is deleted and re-created.
    static void addPeerings(const Record& peeringPairList);

    // --- remote-gateway use ---
    // Turns use_remote_gateways off on the VNet's native peerings; returns the property list.
    // `recordAhead`, when given, gets each property record appended before its update is sent
    // (and taken back when the update is refused).
    static Record disableUseRemoteGwInPeering(
        const std::string& subscriptionId, const NetworkManagementClient& local_network_client,
        const VirtualNetwork& vnet, const std::optional<std::string>& exclude = std::nullopt,
        Record* recordAhead = nullptr);
    static void restoreUseRemoteGwInPeering(const NetworkManagementClient& local_network_client,
                                            const Record& peeringPropList);

    // --- locks ---
    // Removes the first management lock of the VNet; silent when `cred` or `vnet` is absent.
    static void deleteVnetLock(const std::optional<AzureCredential>& cred,
                               const std::optional<VirtualNetwork>& vnet, int indent = 0);
    // The same for a VNet as listed, without building its record (a hub VNet's holds every
    // peering of the hub).
    static void deleteVnetLock(const std::optional<AzureCredential>& cred,
                               const azure::ListItem<VirtualNetwork>& vnet, int indent = 0);

    // --- transit and security domain ---
    // (credential, VNet record) of the transit gateway's VNet, or (nullopt, nullopt) after
    // logging why.
    static std::pair<std::optional<AzureCredential>, std::optional<VirtualNetwork>> getTransitVnet(
        const std::string& api_endpoint_url = "", const std::string& CID = "",
        const std::string& gw_name = "");
    // Associates (true) or disassociates (false) the spoke attachment with its domain.
    static void attach_spoke_domain(bool attach);

  private:
    static const std::string& regionCode(const std::string& regionId);
};

}  // namespace dm::arm

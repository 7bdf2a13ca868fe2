#pragma once
// DiscoveryLib: facts about Azure resource ids and about what the staging step created.

#include <cstddef>
#include <string>
#include <vector>

#include "core/resource_id.hpp"
#include "platform/azure/records.hpp"

namespace dm {

class DiscoveryLib {
  public:
    // Positions, in a resource id split at "/", of the subscription id, resource group, VNet
    // name and peering name.
    static constexpr std::size_t SUB_I = ResourceIdLayout::SUB_I;
    static constexpr std::size_t RG_I = ResourceIdLayout::RG_I;
    static constexpr std::size_t VNET_I = ResourceIdLayout::VNET_I;
    static constexpr std::size_t PEER_I = ResourceIdLayout::PEER_I;

    // Name fragments of the subnets that the staging step creates for the controller's spoke
    // gateway (primary and high-availability); a subnet whose name contains one of them is the
    // gateway's own and is never re-associated.
    static inline const std::vector<std::string> telvaneSpokeSubnetNames = {
        "tlvx-spoke-gw-subnet", "tlvx-spoke-hagw-subnet"};

    // True when a subnet of `vnet` uses `rtb` (as either record reports it; ids compare without
    // regard to case); false when none does.
    static bool isRouteTableUsedInVnet(const azure::RouteTable& rtb,
                                       const azure::VirtualNetwork& vnet);

    // True when `subnetName` contains one of telvaneSpokeSubnetNames.
    static bool isTelvaneSpokeSubnet(const std::string& subnetName);
};

}  // namespace dm

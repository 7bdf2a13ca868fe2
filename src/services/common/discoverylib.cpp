#include "services/common/discoverylib.hpp"

#include "core/text.hpp"

namespace dm {

bool DiscoveryLib::isRouteTableUsedInVnet(const azure::RouteTable& rtb,
                                          const azure::VirtualNetwork& vnet) {
    const std::string rtbId = rtb.id();
    for (const auto& subnet : vnet.subnets()) {
        auto used = subnet.route_table();
        if (used && text::iequals(*used, rtbId))
            return true;
    }
    // The table's own subnet references cover a VNet record read without its subnets.
    const std::string subnetPrefix = text::toLower(vnet.id() + "/subnets/");
    if (auto refs = rtb.subnets()) {
        for (const auto& ref : *refs) {
            if (text::startsWith(text::toLower(ref.id()), subnetPrefix))
                return true;
        }
    }
    return false;
}

bool DiscoveryLib::isTelvaneSpokeSubnet(const std::string& subnetName) {
    for (const auto& fragment : telvaneSpokeSubnetNames) {
        if (subnetName.find(fragment) != std::string::npos)
            return true;
    }
    return false;
}

}  // namespace dm

#pragma once
// SwitchTraffic: the switch operations library. Never instantiated: every operation is
// class-level and reads only the class attributes and its arguments.

#include <map>
#include <string>
#include <vector>

#include "core/ip_network.hpp"
#include "core/record.hpp"

namespace dm::arm {

class SwitchTraffic {
public:
    SwitchTraffic() = delete;

    // Process-wide dry-run flag of the library; setDryRun turns it on for good.
    static inline bool DryRun = false;
    // Gateway types of virtual network gateways, as Azure reports them.
    static inline const std::string VPN = "Vpn";
    static inline const std::string ER = "ExpressRoute";
    // Azure location to the short region code used in gateway names.
    static const std::map<std::string, std::string> region;

    static void setDryRun();

    // True when the network `ip` lies wholly inside at least one of `prefixes`; throws dm::Error
    // when `ip` is not a valid network (bad syntax or host bits set).
    static bool isExpectedVpcPrefix(const std::string& ip, const std::vector<IpNetwork>& prefixes);

    // The mapped gateway name for (vpcId-accountId), else vpcName-accountId-gw.
    static std::string deduceGwName(const Record& vpcAid2GwNameMap, const Record& vpcId,
                                    const Record& vpcName, const Record& accountId);
    // "azu-<region code>-<8 hex digits of the address>-gw"; throws dm::Error for a location
    // outside the region map or an address that is not four decimal parts.
    static std::string deduceGwNameWithSubnetCidr(const std::string& regionId,
                                                  const std::string& cidr);
    // "azu-<region code>-transit-gw"; throws dm::Error for a location outside the region map.
    static std::string deduceTransitNameWithRegion(const std::string& regionId);

private:
    static const std::string& regionCode(const std::string& regionId);
};

}  // namespace dm::arm

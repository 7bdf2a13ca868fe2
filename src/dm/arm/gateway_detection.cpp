// Whether a VNet has its own virtual network gateway of a given type, asked of Resource Graph.

#include <string>

#include "dm/arm/cutoverlib.hpp"
#include "dm/arm/library_log.hpp"

namespace dm::arm {

namespace {

// The gateway query; the subnet id goes between the quotes of the last filter.
constexpr const char* kQueryHead =
    "Resources | where type =~ 'Microsoft.Network/virtualNetworkGateways' | mvexpand "
    "nics=properties.networkProfile | mvexpand ipconfig=properties.ipConfigurations | where "
    "ipconfig.properties.subnet.id =~ '";
constexpr const char* kQueryTail = "' | project properties.gatewayType";
constexpr const char* kTypeColumn = "properties_gatewayType";

}  // namespace

bool SwitchTraffic::isVnetWithVng(const AzureCredential& cred, const VirtualNetwork& vnet,
                                  const std::string& vngType) {
    auto log = libraryLogger();
    const std::string gatewaySubnetId = vnet.id() + "/subnets/GatewaySubnet";
    const auto response = getResources(kQueryHead + gatewaySubnetId + kQueryTail, cred);

    if (response.total_records == 0) {
        log->info("- vnet " + vnet.name() + " has no VNG");
        return false;
    }
    if (response.data.is_array()) {
        for (const auto& row : response.data) {
            if (!row.is_object())
                continue;
            auto type = row.find(kTypeColumn);
            if (type == row.end())
                continue;
            // Azure's own spelling: "vpn" does not count as "Vpn".
            if (type->is_string() && type->get<std::string>() == vngType) {
                log->info("- vnet " + vnet.name() + " has VNG - " + vngType);
                return true;
            }
        }
    }
    log->info("- vnet " + vnet.name() + " has VNG but NOT type " + vngType);
    return false;
}

}  // namespace dm::arm

// Lookups the other operations lean on: a VNet by name, and one Resource Graph query.

#include <optional>
#include <string>

#include "dm/arm/cutoverlib.hpp"
#include "dm/arm/kept_listings.hpp"
#include "platform/azure/resource_graph_client.hpp"

namespace dm::arm {

std::optional<azure::ListItem<VirtualNetwork>> SwitchTraffic::getVnet(
    const std::string& vnetName, const NetworkManagementClient& network_client) {
    const auto vnets = keptListings().virtualNetworks(network_client);
    for (const auto& vnet : *vnets) {
        if (vnet.nameView() == vnetName)
            return vnet;
    }
    return std::nullopt;
}

azure::QueryResponse SwitchTraffic::getResources(const std::string& strQuery,
                                                 const AzureCredential& cred) {
    const azure::ResourceGraphClient client(cred.getCSC());
    azure::QueryRequestOptions options;
    options.result_format = "objectArray";
    azure::QueryRequest request;
    request.subscriptions = {cred.getSubId()};
    request.query = strQuery;
    request.options = options;
    // Only the first page: the one caller needs to know whether a matching row exists.
    return client.resources(request);
}

}  // namespace dm::arm

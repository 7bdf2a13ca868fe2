#include "dm/arm/kept_listings.hpp"

#include <algorithm>

#include "core/text.hpp"
#include "services/context/run_context.hpp"

namespace dm::arm {

namespace {

// Azure ids and names compare without case.
std::string vnetKey(const std::string& subscriptionId, const std::string& resourceGroup,
                    const std::string& vnetName) {
    return text::toLower(subscriptionId + "/" + resourceGroup + "/" + vnetName);
}

template <class T, class Read>
KeptListings::List<T> keep(bool active, std::map<std::string, KeptListings::List<T>>& kept,
                           const std::string& key, Read read) {
    if (!active)
        return std::make_shared<const std::vector<azure::ListItem<T>>>(read());
    auto& slot = kept[key];
    if (!slot)
        slot = std::make_shared<const std::vector<azure::ListItem<T>>>(read());
    return slot;
}

}  // namespace

KeptListings::List<azure::RouteTable> KeptListings::routeTables(
    const azure::NetworkManagementClient& client) {
    std::lock_guard guard(mutex_);
    return keep(active_, routeTables_, text::toLower(client.subscriptionId()),
                [&] { return client.route_tables.list_all(); });
}

KeptListings::List<azure::VirtualNetwork> KeptListings::virtualNetworks(
    const azure::NetworkManagementClient& client) {
    std::lock_guard guard(mutex_);
    return keep(active_, vnets_, text::toLower(client.subscriptionId()),
                [&] { return client.virtual_networks.list_all(); });
}

KeptListings::List<azure::VirtualNetworkPeering> KeptListings::peerings(
    const azure::NetworkManagementClient& client, const std::string& resourceGroup,
    const std::string& vnetName) {
    std::lock_guard guard(mutex_);
    return keep(active_, peerings_, vnetKey(client.subscriptionId(), resourceGroup, vnetName),
                [&] { return client.virtual_network_peerings.list(resourceGroup, vnetName); });
}

void KeptListings::peeringDeleted(const std::string& subscriptionId,
                                  const std::string& resourceGroup, const std::string& vnetName,
                                  const std::string& peeringName) {
    std::lock_guard guard(mutex_);
    auto found = peerings_.find(vnetKey(subscriptionId, resourceGroup, vnetName));
    if (found == peerings_.end())
        return;
    // A caller may still hold the old list: the kept one is replaced, not changed.
    auto rest = std::make_shared<std::vector<azure::ListItem<azure::VirtualNetworkPeering>>>();
    rest->reserve(found->second->size());
    std::copy_if(found->second->begin(), found->second->end(), std::back_inserter(*rest),
                 [&](const auto& p) { return !text::iequals(p.name(), peeringName); });
    found->second = std::move(rest);
}

void KeptListings::peeringWritten(const std::string& subscriptionId,
                                  const std::string& resourceGroup, const std::string& vnetName) {
    std::lock_guard guard(mutex_);
    peerings_.erase(vnetKey(subscriptionId, resourceGroup, vnetName));
}

void KeptListings::startAccount() {
    endAccount();
    std::lock_guard guard(mutex_);
    active_ = true;
}

void KeptListings::endAccount() {
    std::lock_guard guard(mutex_);
    active_ = false;
    routeTables_.clear();
    vnets_.clear();
    peerings_.clear();
}

KeptListings& keptListings() {
    return currentRun().service<KeptListings>();
}

}  // namespace dm::arm

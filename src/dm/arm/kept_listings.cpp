#include "dm/arm/kept_listings.hpp"

#include <algorithm>
#include <chrono>
#include <exception>
#include <iterator>

#include "core/text.hpp"
#include "services/context/run_context.hpp"

namespace dm::arm {

namespace {

// Azure ids and names compare without case.
std::string vnetKey(const std::string& subscriptionId, const std::string& resourceGroup,
                    const std::string& vnetName) {
    return text::toLower(subscriptionId + "/" + resourceGroup + "/" + vnetName);
}

template <class T>
bool isRead(const std::shared_future<T>& result) {
    return result.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
}

}  // namespace

template <class V, class Read>
std::shared_ptr<const V> KeptListings::keep(std::map<std::string, Slot<V>> KeptListings::*kept,
                                            const std::string& key, Read read) {
    std::promise<std::shared_ptr<const V>> reading;
    unsigned long readId = 0;
    {
        std::unique_lock lock(mutex_);
        if (!active_) {
            lock.unlock();
            return std::make_shared<const V>(read());
        }
        auto [slot, added] = (this->*kept).try_emplace(key);
        if (!added) {
            // Kept, or being read by another thread: wait for that read outside the lock.
            const auto result = slot->second.result;
            lock.unlock();
            return result.get();
        }
        readId = ++reads_;
        slot->second = Slot<V>{reading.get_future().share(), readId};
    }
    // The read runs unlocked, so that other listings are read meanwhile.
    try {
        auto list = std::make_shared<const V>(read());
        reading.set_value(list);
        return list;
    } catch (...) {
        // Those already waiting share the error; the next caller reads again.
        {
            const std::scoped_lock lock(mutex_);
            auto& slots = this->*kept;
            if (auto slot = slots.find(key); slot != slots.end() && slot->second.read == readId)
                slots.erase(slot);
        }
        reading.set_exception(std::current_exception());
        throw;
    }
}

KeptListings::List<azure::RouteTable> KeptListings::routeTables(
    const azure::NetworkManagementClient& client) {
    return keep(&KeptListings::routeTables_, text::toLower(client.subscriptionId()),
                [&] { return client.route_tables.list_all(); });
}

KeptListings::List<azure::VirtualNetwork> KeptListings::virtualNetworks(
    const azure::NetworkManagementClient& client) {
    return keep(&KeptListings::vnets_, text::toLower(client.subscriptionId()),
                [&] { return client.virtual_networks.list_all(); });
}

KeptListings::List<azure::VirtualNetworkPeering> KeptListings::peerings(
    const azure::NetworkManagementClient& client, const std::string& resourceGroup,
    const std::string& vnetName) {
    return keep(&KeptListings::peerings_, vnetKey(client.subscriptionId(), resourceGroup, vnetName),
                [&] { return client.virtual_network_peerings.list(resourceGroup, vnetName); });
}

KeptListings::Places KeptListings::gatewayPlaces(
    const std::string& gwName, const std::function<std::vector<GatewayPlace>()>& read) {
    return keep(&KeptListings::gatewayPlaces_, gwName, read);
}

void KeptListings::peeringDeleted(const std::string& subscriptionId,
                                  const std::string& resourceGroup, const std::string& vnetName,
                                  const std::string& peeringName) {
    const std::scoped_lock lock(mutex_);
    auto found = peerings_.find(vnetKey(subscriptionId, resourceGroup, vnetName));
    if (found == peerings_.end())
        return;
    if (!isRead(found->second.result)) {
        // A read under way may or may not show the deleted end: the next caller reads again.
        peerings_.erase(found);
        return;
    }
    // A caller may still hold the old list: the kept one is replaced, not changed.
    const auto& kept = *found->second.result.get();
    auto rest = std::make_shared<std::vector<azure::ListItem<azure::VirtualNetworkPeering>>>();
    rest->reserve(kept.size());
    std::copy_if(kept.begin(), kept.end(), std::back_inserter(*rest),
                 [&](const auto& p) { return !text::iequals(p.name(), peeringName); });
    std::promise<List<azure::VirtualNetworkPeering>> replaced;
    replaced.set_value(std::move(rest));
    found->second.result = replaced.get_future().share();
}

void KeptListings::peeringWritten(const std::string& subscriptionId,
                                  const std::string& resourceGroup, const std::string& vnetName) {
    const std::scoped_lock lock(mutex_);
    peerings_.erase(vnetKey(subscriptionId, resourceGroup, vnetName));
}

void KeptListings::startAccount() {
    const std::scoped_lock lock(mutex_);
    clear();
    active_ = true;
}

void KeptListings::endAccount() {
    const std::scoped_lock lock(mutex_);
    clear();
}

void KeptListings::clear() {
    active_ = false;
    routeTables_.clear();
    vnets_.clear();
    peerings_.clear();
    gatewayPlaces_.clear();
}

KeptListings& keptListings() {
    return currentRun().service<KeptListings>();
}

}  // namespace dm::arm

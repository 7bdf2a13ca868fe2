#pragma once
// Subscription-wide listings that every VNet of an account would otherwise read again (the
// subscription's route tables and VNets, the peerings of a remote VNet such as a hub, and where
// the controller says a transit gateway lives): read once per account run and kept in step with
// the tool's own changes. The tool creates no route table or VNet, changes no tag and moves no
// gateway; a peering it deletes leaves the kept list, and one it creates or updates makes its
// VNet's list be read again.
// Safe for concurrent use: VNets of one account may run on several threads. A listing asked for
// while another thread reads it is not read twice: the caller waits for that read and shares its
// result, or its error.

#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/record.hpp"
#include "platform/azure/list_item.hpp"
#include "platform/azure/network_client.hpp"

namespace dm::arm {

class KeptListings {
  public:
    template <class T>
    using List = std::shared_ptr<const std::vector<azure::ListItem<T>>>;

    List<azure::RouteTable> routeTables(const azure::NetworkManagementClient& client);
    List<azure::VirtualNetwork> virtualNetworks(const azure::NetworkManagementClient& client);
    List<azure::VirtualNetworkPeering> peerings(const azure::NetworkManagementClient& client,
                                                const std::string& resourceGroup,
                                                const std::string& vnetName);

    // Where the controller's gateways of one name live: each one's account and its
    // "<vnet>:<resource group>". `read` asks the controller; what it throws is not kept.
    struct GatewayPlace {
        Record accountName;
        Record vnetId;
    };
    using Places = std::shared_ptr<const std::vector<GatewayPlace>>;
    Places gatewayPlaces(const std::string& gwName,
                         const std::function<std::vector<GatewayPlace>()>& read);

    // What the tool changed.
    void peeringDeleted(const std::string& subscriptionId, const std::string& resourceGroup,
                        const std::string& vnetName, const std::string& peeringName);
    void peeringWritten(const std::string& subscriptionId, const std::string& resourceGroup,
                        const std::string& vnetName);

    // Listings are kept from an account's start to its end; outside, each call reads anew.
    void startAccount();
    void endAccount();

    // A listing kept or being read: the reader's result, once there, and which read it is.
    template <class V>
    struct Slot {
        std::shared_future<std::shared_ptr<const V>> result;
        unsigned long read = 0;
    };
    template <class T>
    using ListSlot = Slot<std::vector<azure::ListItem<T>>>;

  private:
    template <class V, class Read>
    std::shared_ptr<const V> keep(std::map<std::string, Slot<V>> KeptListings::*kept,
                                  const std::string& key, Read read);
    void clear();  // with the lock held

    std::mutex mutex_;
    bool active_ = false;
    unsigned long reads_ = 0;
    std::map<std::string, ListSlot<azure::RouteTable>> routeTables_;
    std::map<std::string, ListSlot<azure::VirtualNetwork>> vnets_;
    std::map<std::string, ListSlot<azure::VirtualNetworkPeering>> peerings_;
    std::map<std::string, Slot<std::vector<GatewayPlace>>> gatewayPlaces_;
};

// The run's kept listings.
KeptListings& keptListings();

}  // namespace dm::arm

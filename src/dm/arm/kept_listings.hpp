#pragma once
// Subscription-wide listings that every VNet of an account would otherwise read again (the
// subscription's route tables and VNets, the peerings of a remote VNet such as a hub): read
// once per account run and kept in step with the tool's own changes. The tool creates no route
// table or VNet and changes no tag; a peering it deletes leaves the kept list, and one it
// creates or updates makes its VNet's list be read again.
// Safe for concurrent use: VNets of one account may run on several threads. A listing asked for
// while another thread reads it is not read twice: the caller waits for that read and shares its
// result, or its error.

#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

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

    // What the tool changed.
    void peeringDeleted(const std::string& subscriptionId, const std::string& resourceGroup,
                        const std::string& vnetName, const std::string& peeringName);
    void peeringWritten(const std::string& subscriptionId, const std::string& resourceGroup,
                        const std::string& vnetName);

    // Listings are kept from an account's start to its end; outside, each call reads anew.
    void startAccount();
    void endAccount();

    // A listing kept or being read: the reader's result, once there, and which read it is.
    template <class T>
    struct Slot {
        std::shared_future<List<T>> result;
        unsigned long read = 0;
    };

  private:
    template <class T, class Read>
    List<T> keep(std::map<std::string, Slot<T>> KeptListings::*kept, const std::string& key,
                 Read read);
    void clear();  // with the lock held

    std::mutex mutex_;
    bool active_ = false;
    unsigned long reads_ = 0;
    std::map<std::string, Slot<azure::RouteTable>> routeTables_;
    std::map<std::string, Slot<azure::VirtualNetwork>> vnets_;
    std::map<std::string, Slot<azure::VirtualNetworkPeering>> peerings_;
};

// The run's kept listings.
KeptListings& keptListings();

}  // namespace dm::arm

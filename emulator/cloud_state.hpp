#pragma once
// The data behind CloudModel, shared by its request handling (the cloud_*.cpp files) and its
// topology loading and dumping (topology.cpp).

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "cloud_model.hpp"

namespace dm::emu {

enum class Kind { VirtualNetwork, Subnet, Peering, RouteTable, Gateway, Hub, HubConnection };

// One stored resource in ARM shape. Computed properties (provisioningState, a VNet's subnets and
// peerings, a route table's subnets, peering sync level) are not stored but added by views.
struct Entry {
    Kind kind = Kind::VirtualNetwork;
    Json body;
    uint64_t seq = 0;         // creation order: lists keep it, as ARM keeps its own order
    std::string managedVnet;  // hubs: id of the hub's managed VNet that spokes peer with
};

struct Subscription {
    std::string id;
    std::string displayName;
    std::string tenant;
    uint64_t seq = 0;
};

struct ResourceGroup {
    std::string subscription;  // id as given
    std::string name;
    std::string location;
    Json tags;
    uint64_t seq = 0;
};

struct Lock {
    std::string scope;  // id of the locked resource, resource group or subscription
    std::string name;
    std::string level;  // CanNotDelete or ReadOnly
    Json notes;
    Json owners;
    uint64_t seq = 0;
};

struct Principal {
    std::string tenant;
    std::string clientId;
    std::string secret;                        // empty: no client secret
    std::string certificate;                   // PEM that verifies client assertions
    std::vector<std::string> federatedTokens;  // accepted as client assertions
    bool managedIdentity = false;              // the identity endpoints give its tokens
    std::string identityHeader;                // what the App Service style endpoint expects
    bool allSubscriptions = true;
    std::vector<std::string> subscriptions;  // lower case
    int tokenLifetime = 3599;
};

struct Token {
    std::string tenant;
    std::string clientId;
    std::chrono::system_clock::time_point expiry;
};

struct Operation {
    std::string id;
    std::string method;  // PUT or DELETE
    std::string key;     // lower-case id of the target
    std::string targetId;
    Kind kind = Kind::VirtualNetwork;
    Json newBody;  // PUT: the body stored on completion
    bool creates = false;
    int pollsLeft = 0;
    // When set, the operation ends at that time instead of after its polls.
    std::optional<std::chrono::steady_clock::time_point> doneAt;
    std::string status = "InProgress";
    std::optional<LroFailure> failure;
    std::string subscription;
    std::string location;
    std::string startTime;
    std::string endTime;
    uint64_t seq = 0;
};

struct CloudModel::State {
    uint64_t nextSeq = 1;
    std::map<std::string, Subscription> subscriptions;  // key: lower id
    std::map<std::string, ResourceGroup> groups;  // key: lower "/subscriptions/s/resourcegroups/g"
    std::map<std::string, Entry> resources;       // key: lower id
    std::map<std::string, Lock> locks;            // key: lower lock id
    std::vector<Principal> principals;
    std::map<std::string, Token> tokens;              // key: the access token
    std::map<std::string, Operation> operations;      // key: operation id
    std::map<std::string, std::string> pendingByKey;  // resource key -> unfinished operation

    // Listings page through the same sorted lists again and again; they are kept until the
    // resources change (`revision` moves with every applied operation).
    using Listing = std::vector<std::pair<std::string, const Entry*>>;
    uint64_t revision = 0;
    uint64_t cacheRevision = 0;
    std::map<std::string, Listing> listings;  // key: kind + key prefix
    std::optional<std::map<std::string, std::vector<const Entry*>>> routeTableUsers;

    uint64_t seq() { return nextSeq++; }
};

// Shared helpers.
std::string idKey(const std::string& id);         // lower case, empty segments dropped, leading "/"
std::string kindType(Kind kind);                  // the ARM "type" of a resource kind
std::string stableGuid(const std::string& seed);  // a GUID that depends only on the seed
std::string groupKey(const std::string& subscription, const std::string& group);

// Fills `state` from a topology (without tokens); throws dm::ConfigError naming the bad key.
void loadTopology(CloudModel::State& state, const Json& topology);
// The state in topology format; pending operations must have been completed before.
Json dumpTopology(const CloudModel::State& state);
// Recomputes peering states from both ends and adds the VNet side of every hub connection;
// `explicitStates` holds the keys of peerings whose state the topology fixed.
void settleLoadedPeerings(CloudModel::State& state, const std::vector<std::string>& explicitStates);
// Makes sure the spoke VNet of a hub connection has its hub peering.
void addHubPeering(CloudModel::State& state, const Entry& hub, const Entry& connection);

}  // namespace dm::emu

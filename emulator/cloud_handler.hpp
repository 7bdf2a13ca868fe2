#pragma once
// Handler answers one ARM or Resource Graph call against the state. Its members are defined by
// topic: cloud_routes.cpp (routing, paging, GETs), cloud_auth.cpp (tokens, subscription access),
// cloud_locks.cpp, cloud_writes.cpp (PUT and DELETE with the per-kind rules), cloud_peerings.cpp
// (the peering rule), cloud_operations.cpp (starting, conflicting and polling operations),
// cloud_views.cpp (listing caches) and cloud_resource_graph.cpp.

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "api_versions.hpp"
#include "cloud_internal.hpp"

namespace dm::emu {

// What the rule of a resource kind sees of a PUT. The rule may refuse the PUT with an error reply
// or amend the properties about to be stored.
struct PutTarget {
    const std::string& id;
    const std::string& key;
    const Entry* existing;        // what is stored now; null when the PUT creates the resource
    const std::string& location;  // a child's is its parent's
};

// Handles one call against the state; lives for that call only.
class Handler {
  public:
    Handler(CloudModel::State& s, const ModelSettings& settings, const std::string& base,
            const ArmCall& call)
        : s_(s), settings_(settings), base_(base), c_(call) {}

    Reply arm();
    Reply resourceGraph();

  private:
    CloudModel::State& s_;
    const ModelSettings& settings_;
    const std::string& base_;
    const ArmCall& c_;
    const Principal* who_ = nullptr;

    std::optional<Reply> authenticate();
    std::optional<Reply> checkVersion(const std::vector<std::string>& accepted);
    std::optional<Reply> checkSubscription(const std::string& subscription);
    Reply methodNotAllowed() const;

    Reply subscriptionsRoute(const std::vector<std::string>& segs);
    Reply groupRoute(const ResourceGroup& rg, const std::vector<std::string>& segs);
    Reply locksRoute(const std::vector<std::string>& scope, const std::vector<std::string>& rest);
    Reply pollRoute(const std::string& opId, bool resultStyle);
    Reply page(size_t total, const std::function<Json(size_t)>& item);
    Reply listKind(Kind kind, const std::string& prefix);
    const CloudModel::State::Listing& sortedOfKind(Kind kind, const std::string& prefix);
    const RouteTableUsers& subnetsByRouteTable();

    Reply get(const std::string& key, const std::string& notFoundCode,
              const std::string& notFoundMessage);
    Reply put(Kind kind, const std::string& id, const std::string& name);
    Reply remove(Kind kind, const std::string& key);
    std::optional<Reply> conflicts(const std::string& scopeKey);
    Reply startOperation(Operation op, int status, Json body);

    // The rules of each resource kind for a PUT; kinds without one store what they are given.
    std::optional<Reply> kindRules(Kind kind, const PutTarget& t, Json& props);
    std::optional<Reply> putSubnet(const PutTarget& t, Json& props);
    std::optional<Reply> putPeering(const PutTarget& t, Json& props);
    std::optional<Reply> putRouteTable(const PutTarget& t, Json& props);
    std::optional<Reply> putHubConnection(const PutTarget& t, Json& props);
};

}  // namespace dm::emu

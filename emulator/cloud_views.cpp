// Views: how a stored resource is rendered in answers, with the properties ARM computes (a VNet's
// subnets and peerings, a route table's subnets, a peering's sync level), and the cached sorted
// listings behind list answers.

#include <algorithm>

#include "cloud_handler.hpp"
#include "cloud_internal.hpp"
#include "core/text.hpp"

namespace dm::emu {
namespace {

using dm::text::startsWith;

}  // namespace

std::string pendingState(const CloudModel::State& s, const std::string& key) {
    auto it = s.pendingByKey.find(key);
    if (it == s.pendingByKey.end()) {
        return "Succeeded";
    }
    return s.operations.at(it->second).method == "DELETE" ? "Deleting" : "Updating";
}

void dropStaleCaches(CloudModel::State& s) {
    if (s.cacheRevision != s.revision) {
        s.listings.clear();
        s.routeTableUsers.reset();
        s.cacheRevision = s.revision;
    }
}

RouteTableUsers routeTableUsers(const CloudModel::State& s) {
    RouteTableUsers users;
    for (const auto& [k, c] : s.resources) {
        if (c.kind == Kind::Subnet && c.body["properties"].contains("routeTable")) {
            users[idKey(refId(c.body["properties"]["routeTable"]))].push_back(&c);
        }
    }
    for (auto& [k, list] : users) {
        std::sort(list.begin(), list.end(),
                  [](const Entry* a, const Entry* b) { return a->seq < b->seq; });
    }
    return users;
}

// What a read shows of a resource: while a PUT on it is running, the state it is being brought
// to (with provisioningState "Updating"), as ARM shows it; otherwise the stored state.
const Entry& shownEntry(const CloudModel::State& s, const std::string& key, const Entry& stored,
                        Entry& scratch) {
    auto it = s.pendingByKey.find(key);
    if (it == s.pendingByKey.end())
        return stored;
    const Operation& op = s.operations.at(it->second);
    if (op.method != "PUT" || op.failure || op.newBody.is_null())
        return stored;
    scratch = stored;
    scratch.body = op.newBody;
    return scratch;
}

Json view(const CloudModel::State& s, const std::string& key, const Entry& e,
          const std::string& provisioning, const RouteTableUsers* users) {
    Json v = e.body;
    if (!v.contains("properties") || !v["properties"].is_object()) {
        v["properties"] = Json::object();
    }
    Json& p = v["properties"];
    p["provisioningState"] = provisioning;
    switch (e.kind) {
        case Kind::VirtualNetwork: {
            Json subnets = Json::array();
            Entry goal;
            for (const auto& [k, c] : children(s, key, "subnets")) {
                subnets.push_back(view(s, k, shownEntry(s, k, *c, goal), pendingState(s, k)));
            }
            Json peerings = Json::array();
            for (const auto& [k, c] : children(s, key, "virtualnetworkpeerings")) {
                peerings.push_back(view(s, k, shownEntry(s, k, *c, goal), pendingState(s, k)));
            }
            p["subnets"] = subnets;
            p["virtualNetworkPeerings"] = peerings;
            break;
        }
        case Kind::RouteTable: {
            // One listing builds the index once; a single GET builds it for itself.
            RouteTableUsers own;
            if (users == nullptr) {
                own = routeTableUsers(s);
                users = &own;
            }
            Json subnets = Json::array();
            if (auto it = users->find(key); it != users->end()) {
                for (const Entry* u : it->second) {
                    subnets.push_back({{"id", u->body["id"]}});
                }
            }
            p["subnets"] = subnets;
            break;
        }
        case Kind::Peering: {
            const std::string remoteKey = idKey(remoteOf(e));
            auto it = s.resources.find(remoteKey);
            if (it != s.resources.end() && it->second.kind == Kind::VirtualNetwork) {
                const Json& rp = it->second.body["properties"];
                if (rp.contains("addressSpace")) {
                    p["remoteAddressSpace"] = rp["addressSpace"];
                    p["remoteVirtualNetworkAddressSpace"] = rp["addressSpace"];
                }
            }
            p["peeringSyncLevel"] =
                peeringState(e) == "Connected" ? "FullyInSync" : "RemoteNotInSync";
            break;
        }
        default:
            break;
    }
    return v;
}

Json viewKey(const CloudModel::State& s, const std::string& key) {
    auto it = s.resources.find(key);
    return it == s.resources.end() ? Json(nullptr) : view(s, key, it->second, pendingState(s, key));
}

const CloudModel::State::Listing& Handler::sortedOfKind(Kind kind, const std::string& prefix) {
    dropStaleCaches(s_);
    const std::string cacheKey = std::to_string(static_cast<int>(kind)) + prefix;
    if (auto it = s_.listings.find(cacheKey); it != s_.listings.end()) {
        return it->second;
    }
    CloudModel::State::Listing found;
    for (auto it = s_.resources.lower_bound(prefix);
         it != s_.resources.end() && startsWith(it->first, prefix); ++it) {
        if (it->second.kind == kind) {
            found.emplace_back(it->first, &it->second);
        }
    }
    std::sort(found.begin(), found.end(),
              [](const auto& a, const auto& b) { return a.second->seq < b.second->seq; });
    return s_.listings[cacheKey] = std::move(found);
}

const RouteTableUsers& Handler::subnetsByRouteTable() {
    dropStaleCaches(s_);
    if (!s_.routeTableUsers) {
        s_.routeTableUsers = routeTableUsers(s_);
    }
    return *s_.routeTableUsers;
}

}  // namespace dm::emu

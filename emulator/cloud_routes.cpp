// Routing of ARM calls: subscriptions, resource groups and the network resources under them, with
// the api-version check, paging of lists and single GETs.

#include <algorithm>
#include <functional>
#include <map>

#include "cloud_handler.hpp"
#include "cloud_internal.hpp"
#include "core/text.hpp"

namespace dm::emu {
namespace {

using dm::text::iequals;
using dm::text::startsWith;
using dm::text::toLower;

}  // namespace

std::optional<Reply> Handler::checkVersion(const std::vector<std::string>& accepted) {
    auto it = c_.query.find("api-version");
    if (it == c_.query.end() || it->second.empty()) {
        return armError(400, "MissingApiVersionParameter",
                        "The api-version query parameter (?api-version=) is required for all "
                        "requests.");
    }
    if (!acceptsApiVersion(accepted, it->second)) {
        return armError(400, "InvalidApiVersionParameter",
                        "The api-version '" + it->second +
                            "' is invalid. The supported versions are '" +
                            dm::text::join(accepted, ",") + "'.");
    }
    return std::nullopt;
}

Reply Handler::methodNotAllowed() const {
    return armError(405, "MethodNotAllowed",
                    "The requested resource does not support http method '" + c_.method + "'.");
}

Reply Handler::page(size_t total, const std::function<Json(size_t)>& item) {
    size_t offset = 0;
    for (const char* name : {"$skiptoken", "$skipToken"}) {
        if (auto it = c_.query.find(name); it != c_.query.end()) {
            const std::string& token = it->second;
            if (token.size() < 2 || token[0] != 'p' ||
                token.find_first_not_of("0123456789", 1) != std::string::npos) {
                return armError(400, "InvalidSkipToken",
                                "The skip token '" + token + "' is not valid.");
            }
            offset = std::stoul(token.substr(1));
        }
    }
    const size_t size = static_cast<size_t>(std::max(1, settings_.pageSize));
    Json value = Json::array();
    for (size_t i = offset; i < total && i < offset + size; ++i) {
        value.push_back(item(i));
    }
    Json body = {{"value", value}};
    if (offset + size < total) {
        body["nextLink"] = base_ + c_.rawPath + "?api-version=" + c_.query.at("api-version") +
                           "&$skiptoken=p" + std::to_string(offset + size);
    }
    return jsonReply(200, body);
}

Reply Handler::listKind(Kind kind, const std::string& prefix) {
    const auto& found = sortedOfKind(kind, prefix);
    const RouteTableUsers* users = kind == Kind::RouteTable ? &subnetsByRouteTable() : nullptr;
    return page(found.size(), [&](size_t i) {
        Entry goal;
        return view(s_, found[i].first, shownEntry(s_, found[i].first, *found[i].second, goal),
                    pendingState(s_, found[i].first), users);
    });
}

Reply Handler::get(const std::string& key, const std::string& notFoundCode,
                   const std::string& notFoundMessage) {
    auto it = s_.resources.find(key);
    if (it == s_.resources.end()) {
        return armError(404, notFoundCode, notFoundMessage);
    }
    const RouteTableUsers* users =
        it->second.kind == Kind::RouteTable ? &subnetsByRouteTable() : nullptr;
    Entry goal;
    return jsonReply(
        200, view(s_, key, shownEntry(s_, key, it->second, goal), pendingState(s_, key), users));
}

Reply Handler::subscriptionsRoute(const std::vector<std::string>& segs) {
    auto subView = [](const Subscription& sub) {
        return Json{{"id", "/subscriptions/" + sub.id},
                    {"subscriptionId", sub.id},
                    {"tenantId", sub.tenant},
                    {"displayName", sub.displayName},
                    {"state", "Enabled"}};
    };
    if (segs.size() == 1) {
        if (auto bad = checkVersion(apiVersionsOf("Microsoft.Resources/subscriptions")); bad) {
            return *bad;
        }
        std::vector<const Subscription*> found;
        for (const auto& [k, sub] : s_.subscriptions) {
            if (who_->allSubscriptions ||
                std::find(who_->subscriptions.begin(), who_->subscriptions.end(), k) !=
                    who_->subscriptions.end()) {
                found.push_back(&sub);
            }
        }
        std::sort(found.begin(), found.end(),
                  [](const auto* a, const auto* b) { return a->seq < b->seq; });
        return page(found.size(), [&](size_t i) { return subView(*found[i]); });
    }
    const std::vector<std::string> lower = [&] {
        std::vector<std::string> l;
        for (const auto& s : segs) {
            l.push_back(toLower(s));
        }
        return l;
    }();
    const bool network =
        segs.size() >= 4 && lower[2] == "providers" && lower[3] == "microsoft.network";
    if (auto bad = checkVersion(apiVersionsOf(resourceTypeOfPath(lower))); bad) {
        return *bad;
    }
    if (auto bad = checkSubscription(segs[1]); bad) {
        return *bad;
    }
    const Subscription& sub = s_.subscriptions.at(lower[1]);
    const std::string subKey = "/subscriptions/" + lower[1];
    if (segs.size() == 2) {
        return c_.method == "GET" ? jsonReply(200, subView(sub)) : methodNotAllowed();
    }
    if (lower[2] == "resourcegroups") {
        if (segs.size() == 3) {
            if (c_.method != "GET") {
                return methodNotAllowed();
            }
            std::vector<const ResourceGroup*> found;
            for (auto it = s_.groups.lower_bound(subKey + "/");
                 it != s_.groups.end() && startsWith(it->first, subKey + "/"); ++it) {
                found.push_back(&it->second);
            }
            std::sort(found.begin(), found.end(),
                      [](const auto* a, const auto* b) { return a->seq < b->seq; });
            return page(found.size(), [&](size_t i) {
                const ResourceGroup& rg = *found[i];
                return Json{{"id", "/subscriptions/" + sub.id + "/resourceGroups/" + rg.name},
                            {"name", rg.name},
                            {"type", "Microsoft.Resources/resourceGroups"},
                            {"location", rg.location},
                            {"properties", {{"provisioningState", "Succeeded"}}}};
            });
        }
        auto rg = s_.groups.find(groupKey(sub.id, segs[3]));
        if (rg == s_.groups.end()) {
            return armError(404, "ResourceGroupNotFound",
                            "Resource group '" + segs[3] + "' could not be found.");
        }
        return groupRoute(rg->second, segs);
    }
    if (network && segs.size() == 5 && c_.method == "GET") {
        const std::string prefix = subKey + "/";
        if (lower[4] == "virtualnetworks") {
            return listKind(Kind::VirtualNetwork, prefix);
        }
        if (lower[4] == "routetables") {
            return listKind(Kind::RouteTable, prefix);
        }
        if (lower[4] == "virtualhubs") {
            return listKind(Kind::Hub, prefix);
        }
    }
    if (network && segs.size() == 8 && lower[4] == "locations" && c_.method == "GET" &&
        (lower[6] == "operations" || lower[6] == "operationresults")) {
        return pollRoute(segs[7], lower[6] == "operationresults");
    }
    return armError(404, "NotFound", "No route for " + c_.method + " " + c_.path + ".");
}

Reply Handler::groupRoute(const ResourceGroup& rg, const std::vector<std::string>& segs) {
    std::vector<std::string> lower;
    for (const auto& s : segs) {
        lower.push_back(toLower(s));
    }
    const std::string rgId =
        "/subscriptions/" + s_.subscriptions.at(lower[1]).id + "/resourceGroups/" + rg.name;
    if (segs.size() == 4) {
        if (c_.method != "GET") {
            return methodNotAllowed();
        }
        Json v = {{"id", rgId},
                  {"name", rg.name},
                  {"type", "Microsoft.Resources/resourceGroups"},
                  {"location", rg.location}};
        if (!rg.tags.is_null()) {
            v["tags"] = rg.tags;
        }
        v["properties"] = {{"provisioningState", "Succeeded"}};
        return jsonReply(200, v);
    }
    if (segs.size() < 7 || lower[4] != "providers" || lower[5] != "microsoft.network") {
        return armError(404, "NotFound", "No route for " + c_.method + " " + c_.path + ".");
    }
    const std::string& type = lower[6];
    const std::string prefix = idKey(rgId) + "/providers/microsoft.network/" + type;
    static const std::map<std::string, Kind> topKinds = {{"virtualnetworks", Kind::VirtualNetwork},
                                                         {"routetables", Kind::RouteTable},
                                                         {"virtualnetworkgateways", Kind::Gateway},
                                                         {"virtualhubs", Kind::Hub}};
    auto kindIt = topKinds.find(type);
    if (kindIt == topKinds.end()) {
        return armError(400, "InvalidResourceType",
                        "The resource type '" + segs[6] +
                            "' could not be found in the namespace 'Microsoft.Network'.");
    }
    const Kind kind = kindIt->second;
    if (segs.size() == 7) {
        return c_.method == "GET" ? listKind(kind, prefix + "/") : methodNotAllowed();
    }
    static const std::map<Kind, std::string> typeNames = {{Kind::VirtualNetwork, "virtualNetworks"},
                                                          {Kind::RouteTable, "routeTables"},
                                                          {Kind::Gateway, "virtualNetworkGateways"},
                                                          {Kind::Hub, "virtualHubs"}};
    const std::string topKey = prefix + "/" + lower[7];
    auto top = s_.resources.find(topKey);
    const std::string topId = top != s_.resources.end() ? top->second.body["id"].get<std::string>()
                                                        : rgId + "/providers/Microsoft.Network/" +
                                                              typeNames.at(kind) + "/" + segs[7];
    const std::string notFound = "The Resource 'Microsoft.Network/" + typeNames.at(kind) + "/" +
                                 segs[7] + "' under resource group '" + rg.name +
                                 "' was not found.";
    if (segs.size() == 8) {
        if (c_.method == "GET") {
            return get(topKey, "ResourceNotFound", notFound);
        }
        if (c_.method == "PUT" && kind == Kind::RouteTable) {
            return put(kind, topId, segs[7]);
        }
        if (c_.method == "DELETE" && kind == Kind::VirtualNetwork) {
            return remove(kind, topKey);
        }
        return methodNotAllowed();
    }
    static const std::map<std::pair<Kind, std::string>, std::pair<Kind, std::string>> childKinds = {
        {{Kind::VirtualNetwork, "subnets"}, {Kind::Subnet, "subnets"}},
        {{Kind::VirtualNetwork, "virtualnetworkpeerings"},
         {Kind::Peering, "virtualNetworkPeerings"}},
        {{Kind::Hub, "hubvirtualnetworkconnections"},
         {Kind::HubConnection, "hubVirtualNetworkConnections"}}};
    auto child = childKinds.find({kind, lower[8]});
    if (child == childKinds.end() || segs.size() > 10) {
        return armError(404, "NotFound", "No route for " + c_.method + " " + c_.path + ".");
    }
    const Kind childKind = child->second.first;
    if (segs.size() == 9) {
        if (c_.method != "GET") {
            return methodNotAllowed();
        }
        if (top == s_.resources.end()) {
            return armError(404, "ResourceNotFound", notFound);
        }
        auto list = children(s_, topKey, lower[8]);
        return page(list.size(), [&](size_t i) {
            Entry goal;
            return view(s_, list[i].first, shownEntry(s_, list[i].first, *list[i].second, goal),
                        pendingState(s_, list[i].first));
        });
    }
    const std::string childKey = topKey + "/" + lower[8] + "/" + lower[9];
    const std::string childId = topId + "/" + child->second.second + "/" + segs[9];
    if (c_.method == "GET") {
        if (top == s_.resources.end()) {
            return armError(404, "ResourceNotFound", notFound);
        }
        return get(childKey, "NotFound", "Resource " + childId + " not found.");
    }
    if (c_.method == "PUT") {
        return put(childKind, childId, segs[9]);
    }
    if (c_.method == "DELETE") {
        return remove(childKind, childKey);
    }
    return methodNotAllowed();
}

Reply Handler::arm() {
    if (auto bad = authenticate(); bad) {
        return *bad;
    }
    const auto segs = segments(c_.path);
    for (size_t i = 0; i + 2 < segs.size(); ++i) {
        if (iequals(segs[i], "providers") && iequals(segs[i + 1], "Microsoft.Authorization") &&
            iequals(segs[i + 2], "locks")) {
            return locksRoute({segs.begin(), segs.begin() + static_cast<long>(i)},
                              {segs.begin() + static_cast<long>(i) + 3, segs.end()});
        }
    }
    if (segs.empty() || !iequals(segs[0], "subscriptions")) {
        return armError(404, "NotFound", "No route for " + c_.method + " " + c_.path + ".");
    }
    return subscriptionsRoute(segs);
}

}  // namespace dm::emu

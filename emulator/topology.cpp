// The topology format (docs/emulator.md) to and from the stored ARM shapes. A topology node is
// the resource's ARM body with "properties" flattened into the node and references written as
// plain id strings; dumping does the reverse, so a dump loads back into the same state.

#include <set>

#include "client_assertion.hpp"
#include "cloud_state.hpp"
#include "core/error.hpp"
#include "core/text.hpp"

namespace dm::emu {
namespace {

using dm::ConfigError;

// Keys whose value is a reference ({"id": ...}) in ARM and a plain id in a topology.
const std::set<std::string> kRefKeys = {
    "routeTable", "networkSecurityGroup", "natGateway", "remoteVirtualNetwork", "virtualWan",
    "subnet",     "publicIPAddress",      "virtualHub"};
const std::set<std::string> kHeaderKeys = {"id", "name", "type", "etag", "location", "tags"};

const Json& member(const Json& node, const std::string& key, const std::string& path) {
    if (!node.is_object() || !node.contains(key)) {
        throw ConfigError("topology: " + path + ": missing \"" + key + "\"");
    }
    return node[key];
}

std::string text(const Json& node, const std::string& key, const std::string& path) {
    const Json& v = member(node, key, path);
    if (!v.is_string() || v.get<std::string>().empty()) {
        throw ConfigError("topology: " + path + "." + key + ": must be a non-empty string");
    }
    return v.get<std::string>();
}

std::string optionalText(const Json& node, const std::string& key, const std::string& fallback,
                         const std::string& path) {
    if (!node.contains(key)) {
        return fallback;
    }
    if (!node[key].is_string()) {
        throw ConfigError("topology: " + path + "." + key + ": must be a string");
    }
    return node[key].get<std::string>();
}

// The array under `key`, or an empty one when the node lacks it.
Json list(const Json& node, const std::string& key, const std::string& path) {
    if (!node.contains(key)) {
        return Json::array();
    }
    if (!node[key].is_array()) {
        throw ConfigError("topology: " + path + "." + key + ": must be a list");
    }
    return node[key];
}

std::string at(const std::string& path, const std::string& key, size_t i) {
    return path + (path.empty() ? "" : ".") + key + "[" + std::to_string(i) + "]";
}

// A reference written as a bare name means a resource of that type in the same group.
std::string resolve(const std::string& ref, const std::string& groupId, const std::string& type) {
    return ref.find('/') == std::string::npos
               ? groupId + "/providers/Microsoft.Network/" + type + "/" + ref
               : ref;
}

Json unflatten(const Json& node, const std::set<std::string>& skip) {
    Json props = Json::object();
    for (auto it = node.begin(); it != node.end(); ++it) {
        if (kHeaderKeys.count(it.key()) != 0 || skip.count(it.key()) != 0 ||
            it.key() == "provisioningState") {
            continue;
        }
        if (kRefKeys.count(it.key()) != 0 && it.value().is_string()) {
            props[it.key()] = {{"id", it.value()}};
        } else {
            props[it.key()] = it.value();
        }
    }
    return props;
}

Json flatten(const Json& props, const std::set<std::string>& skip) {
    Json node = Json::object();
    if (!props.is_object()) {
        return node;
    }
    for (auto it = props.begin(); it != props.end(); ++it) {
        if (skip.count(it.key()) != 0 || it.key() == "provisioningState") {
            continue;
        }
        const Json& v = it.value();
        if (kRefKeys.count(it.key()) != 0 && v.is_object() && v.size() == 1 && v.contains("id")) {
            node[it.key()] = v["id"];
        } else {
            node[it.key()] = v;
        }
    }
    return node;
}

class Loader {
  public:
    explicit Loader(CloudModel::State& s) : s_(s) {}

    void run(const Json& t) {
        if (!t.is_object()) {
            throw ConfigError("topology: must be a JSON object");
        }
        principals(list(t, "service_principals", ""));
        const Json subs = list(t, "subscriptions", "");
        for (size_t i = 0; i < subs.size(); ++i) {
            subscription(subs[i], at("", "subscriptions", i));
        }
        const Json locks = list(t, "locks", "");
        for (size_t i = 0; i < locks.size(); ++i) {
            lock(locks[i], at("", "locks", i));
        }
        settleLoadedPeerings(s_, explicitStates_);
    }

  private:
    CloudModel::State& s_;
    std::vector<std::string> explicitStates_;

    void principals(const Json& items) {
        for (size_t i = 0; i < items.size(); ++i) {
            const std::string path = at("", "service_principals", i);
            const Json& n = items[i];
            Principal p;
            p.tenant = text(n, "tenant", path);
            p.clientId = text(n, "client_id", path);
            principalCredentials(n, path, p);
            if (n.contains("subscriptions") &&
                !(n["subscriptions"].is_string() && n["subscriptions"].get<std::string>() == "*")) {
                p.allSubscriptions = false;
                for (const auto& sub : list(n, "subscriptions", path)) {
                    if (!sub.is_string()) {
                        throw ConfigError("topology: " + path +
                                          ".subscriptions: must hold subscription ids");
                    }
                    p.subscriptions.push_back(dm::text::toLower(sub.get<std::string>()));
                }
            }
            if (n.contains("token_lifetime_seconds")) {
                const Json& l = n["token_lifetime_seconds"];
                if (!l.is_number_integer() || l.get<int>() <= 0) {
                    throw ConfigError("topology: " + path +
                                      ".token_lifetime_seconds: must be a positive integer");
                }
                p.tokenLifetime = l.get<int>();
            }
            s_.principals.push_back(p);
        }
    }

    // How the principal may sign in: a secret, a certificate, federated tokens, or as the
    // managed identity; at least one of them.
    static void principalCredentials(const Json& n, const std::string& path, Principal& p) {
        p.secret = optionalText(n, "client_secret", "", path);
        p.certificate = optionalText(n, "certificate", "", path);
        if (!p.certificate.empty() && !isPemCertificate(p.certificate)) {
            throw ConfigError("topology: " + path + ".certificate: not a PEM certificate");
        }
        for (const auto& token : list(n, "federated_tokens", path)) {
            if (!token.is_string() || token.get<std::string>().empty()) {
                throw ConfigError("topology: " + path +
                                  ".federated_tokens: must hold non-empty strings");
            }
            p.federatedTokens.push_back(token.get<std::string>());
        }
        if (n.contains("managed_identity")) {
            if (!n["managed_identity"].is_boolean()) {
                throw ConfigError("topology: " + path + ".managed_identity: must be a boolean");
            }
            p.managedIdentity = n["managed_identity"].get<bool>();
        }
        p.identityHeader = optionalText(n, "identity_header", "", path);
        if (p.secret.empty() && p.certificate.empty() && p.federatedTokens.empty() &&
            !p.managedIdentity) {
            throw ConfigError("topology: " + path +
                              ": needs client_secret, certificate, federated_tokens or "
                              "managed_identity");
        }
    }

    void subscription(const Json& n, const std::string& path) {
        Subscription sub;
        sub.id = text(n, "id", path);
        sub.displayName = optionalText(n, "displayName", sub.id, path);
        sub.tenant = optionalText(n, "tenant", "", path);
        sub.seq = s_.seq();
        const std::string key = dm::text::toLower(sub.id);
        if (!s_.subscriptions.emplace(key, sub).second) {
            throw ConfigError("topology: " + path + ": subscription " + sub.id + " appears twice");
        }
        const Json groups = list(n, "resourceGroups", path);
        for (size_t i = 0; i < groups.size(); ++i) {
            group(sub, groups[i], at(path, "resourceGroups", i));
        }
    }

    void group(const Subscription& sub, const Json& n, const std::string& path) {
        ResourceGroup rg;
        rg.subscription = sub.id;
        rg.name = text(n, "name", path);
        rg.location = optionalText(n, "location", "eastus", path);
        rg.tags = n.contains("tags") ? n["tags"] : Json();
        rg.seq = s_.seq();
        if (!s_.groups.emplace(groupKey(sub.id, rg.name), rg).second) {
            throw ConfigError("topology: " + path + ": resource group " + rg.name +
                              " appears twice");
        }
        const std::string groupId = "/subscriptions/" + sub.id + "/resourceGroups/" + rg.name;
        // Route tables and hubs first, so that references to them resolve in any order.
        const Json tables = list(n, "routeTables", path);
        for (size_t i = 0; i < tables.size(); ++i) {
            routeTable(groupId, rg.location, tables[i], at(path, "routeTables", i));
        }
        const Json vnets = list(n, "virtualNetworks", path);
        for (size_t i = 0; i < vnets.size(); ++i) {
            virtualNetwork(groupId, rg.location, vnets[i], at(path, "virtualNetworks", i));
        }
        const Json gateways = list(n, "virtualNetworkGateways", path);
        for (size_t i = 0; i < gateways.size(); ++i) {
            gateway(groupId, rg.location, gateways[i], at(path, "virtualNetworkGateways", i));
        }
        const Json hubs = list(n, "virtualHubs", path);
        for (size_t i = 0; i < hubs.size(); ++i) {
            hub(groupId, rg.location, hubs[i], at(path, "virtualHubs", i));
        }
    }

    Entry& add(Kind kind, const std::string& id, const std::string& name, const Json& node,
               const std::string& location, Json props, const std::string& path) {
        Entry e;
        e.kind = kind;
        e.seq = s_.seq();
        e.body = {{"id", id},
                  {"name", name},
                  {"type", kindType(kind)},
                  {"etag", "W/\"" + stableGuid(id) + "\""}};
        if (!location.empty()) {
            e.body["location"] = optionalText(node, "location", location, path);
        }
        if (node.contains("tags")) {
            if (!node["tags"].is_object()) {
                throw ConfigError("topology: " + path + ".tags: must be a map");
            }
            e.body["tags"] = node["tags"];
        }
        e.body["properties"] = std::move(props);
        auto [it, added] = s_.resources.emplace(idKey(id), std::move(e));
        if (!added) {
            throw ConfigError("topology: " + path + ": " + id + " appears twice");
        }
        return it->second;
    }

    void routeTable(const std::string& groupId, const std::string& location, const Json& n,
                    const std::string& path) {
        const std::string name = text(n, "name", path);
        const std::string id = groupId + "/providers/Microsoft.Network/routeTables/" + name;
        Json props = unflatten(n, {"routes", "subnets"});
        Json routes = Json::array();
        const Json items = list(n, "routes", path);
        for (size_t i = 0; i < items.size(); ++i) {
            const std::string routeName = text(items[i], "name", at(path, "routes", i));
            routes.push_back(
                {{"id", id + "/routes/" + routeName},
                 {"name", routeName},
                 {"properties", items[i].contains("properties") ? items[i]["properties"]
                                                                : unflatten(items[i], {})}});
        }
        props["routes"] = routes;
        add(Kind::RouteTable, id, name, n, location, props, path);
    }

    void virtualNetwork(const std::string& groupId, const std::string& location, const Json& n,
                        const std::string& path) {
        const std::string name = text(n, "name", path);
        const std::string id = groupId + "/providers/Microsoft.Network/virtualNetworks/" + name;
        Json props = unflatten(n, {"subnets", "virtualNetworkPeerings", "addressPrefixes"});
        if (n.contains("addressPrefixes")) {
            props["addressSpace"] = {{"addressPrefixes", list(n, "addressPrefixes", path)}};
        }
        add(Kind::VirtualNetwork, id, name, n, location, props, path);

        const Json subnets = list(n, "subnets", path);
        for (size_t i = 0; i < subnets.size(); ++i) {
            const std::string p = at(path, "subnets", i);
            const std::string sn = text(subnets[i], "name", p);
            Json sp = unflatten(subnets[i], {});
            if (subnets[i].contains("routeTable") && subnets[i]["routeTable"].is_string()) {
                sp["routeTable"] = {{"id", resolve(subnets[i]["routeTable"].get<std::string>(),
                                                   groupId, "routeTables")}};
            }
            add(Kind::Subnet, id + "/subnets/" + sn, sn, subnets[i], "", sp, p);
        }
        const Json peerings = list(n, "virtualNetworkPeerings", path);
        for (size_t i = 0; i < peerings.size(); ++i) {
            const std::string p = at(path, "virtualNetworkPeerings", i);
            const std::string pn = text(peerings[i], "name", p);
            const std::string remote =
                resolve(text(peerings[i], "remoteVirtualNetwork", p), groupId, "virtualNetworks");
            Json pp = unflatten(peerings[i], {});
            pp["remoteVirtualNetwork"] = {{"id", remote}};
            for (const char* flag : {"allowVirtualNetworkAccess", "allowForwardedTraffic",
                                     "allowGatewayTransit", "useRemoteGateways"}) {
                if (!pp.contains(flag)) {
                    pp[flag] = std::string(flag) == "allowVirtualNetworkAccess";
                }
            }
            const std::string pid = id + "/virtualNetworkPeerings/" + pn;
            if (peerings[i].contains("peeringState")) {
                explicitStates_.push_back(idKey(pid));
            }
            add(Kind::Peering, pid, pn, peerings[i], "", pp, p);
        }
    }

    void gateway(const std::string& groupId, const std::string& location, const Json& n,
                 const std::string& path) {
        const std::string name = text(n, "name", path);
        const std::string id =
            groupId + "/providers/Microsoft.Network/virtualNetworkGateways/" + name;
        Json props = unflatten(n, {"virtualNetwork", "ipConfigurations"});
        Json configs = Json::array();
        auto config = [&](const std::string& cn, Json cp) {
            if (!cp.contains("privateIPAllocationMethod")) {
                cp["privateIPAllocationMethod"] = "Dynamic";
            }
            configs.push_back(
                {{"name", cn}, {"id", id + "/ipConfigurations/" + cn}, {"properties", cp}});
        };
        if (n.contains("virtualNetwork")) {
            const std::string vnet =
                resolve(text(n, "virtualNetwork", path), groupId, "virtualNetworks");
            config("gwipconfig1", {{"subnet", {{"id", vnet + "/subnets/GatewaySubnet"}}}});
        }
        const Json items = list(n, "ipConfigurations", path);
        for (size_t i = 0; i < items.size(); ++i) {
            const std::string cn = text(items[i], "name", at(path, "ipConfigurations", i));
            config(cn, items[i].contains("properties") ? items[i]["properties"]
                                                       : unflatten(items[i], {}));
        }
        props["ipConfigurations"] = configs;
        add(Kind::Gateway, id, name, n, location, props, path);
    }

    void hub(const std::string& groupId, const std::string& location, const Json& n,
             const std::string& path) {
        const std::string name = text(n, "name", path);
        const std::string id = groupId + "/providers/Microsoft.Network/virtualHubs/" + name;
        Json props = unflatten(n, {"hubVirtualNetworkConnections", "managedVirtualNetwork"});
        Entry& e = add(Kind::Hub, id, name, n, location, props, path);
        // The hub's own VNet lives in a platform subscription, named like Azure names it.
        const std::string guid = stableGuid(idKey(id));
        e.managedVnet = optionalText(n, "managedVirtualNetwork",
                                     "/subscriptions/" + stableGuid("platform:" + idKey(id)) +
                                         "/resourceGroups/RG_" + name + "_" + guid +
                                         "/providers/Microsoft.Network/virtualNetworks/HV_" +
                                         name.substr(0, 20) + "_" + guid,
                                     path);
        const Json conns = list(n, "hubVirtualNetworkConnections", path);
        for (size_t i = 0; i < conns.size(); ++i) {
            const std::string p = at(path, "hubVirtualNetworkConnections", i);
            const std::string cn = text(conns[i], "name", p);
            Json cp = unflatten(conns[i], {});
            cp["remoteVirtualNetwork"] = {{"id", resolve(text(conns[i], "remoteVirtualNetwork", p),
                                                         groupId, "virtualNetworks")}};
            add(Kind::HubConnection, id + "/hubVirtualNetworkConnections/" + cn, cn, conns[i], "",
                cp, p);
        }
    }

    void lock(const Json& n, const std::string& path) {
        Lock l;
        l.scope = text(n, "scope", path);
        l.name = text(n, "name", path);
        l.level = text(n, "level", path);
        if (l.level != "CanNotDelete" && l.level != "ReadOnly") {
            throw ConfigError("topology: " + path + ".level: must be CanNotDelete or ReadOnly");
        }
        l.notes = n.contains("notes") ? n["notes"] : Json();
        l.owners = n.contains("owners") ? n["owners"] : Json();
        l.seq = s_.seq();
        const std::string key = idKey(l.scope) + "/providers/microsoft.authorization/locks/" +
                                dm::text::toLower(l.name);
        if (!s_.locks.emplace(key, l).second) {
            throw ConfigError("topology: " + path + ": lock " + l.name + " appears twice");
        }
    }
};

Json node(const Entry& e, const std::set<std::string>& skip) {
    Json n = {{"name", e.body["name"]}};
    if (e.body.contains("location")) {
        n["location"] = e.body["location"];
    }
    if (e.body.contains("tags")) {
        n["tags"] = e.body["tags"];
    }
    n.update(flatten(e.body["properties"], skip));
    return n;
}

std::vector<const Entry*> ofKind(const CloudModel::State& s, const std::string& prefix, Kind kind) {
    std::vector<const Entry*> out;
    for (auto it = s.resources.lower_bound(prefix);
         it != s.resources.end() && dm::text::startsWith(it->first, prefix); ++it) {
        if (it->second.kind == kind && it->first.find('/', prefix.size()) == std::string::npos) {
            out.push_back(&it->second);
        }
    }
    std::sort(out.begin(), out.end(),
              [](const Entry* a, const Entry* b) { return a->seq < b->seq; });
    return out;
}

}  // namespace

void loadTopology(CloudModel::State& state, const Json& topology) {
    Loader(state).run(topology);
}

Json dumpTopology(const CloudModel::State& s) {
    Json out = Json::object();
    Json principals = Json::array();
    for (const auto& p : s.principals) {
        Json n = {{"tenant", p.tenant}, {"client_id", p.clientId}};
        if (!p.secret.empty())
            n["client_secret"] = p.secret;
        if (!p.certificate.empty())
            n["certificate"] = p.certificate;
        if (!p.federatedTokens.empty())
            n["federated_tokens"] = p.federatedTokens;
        if (p.managedIdentity)
            n["managed_identity"] = true;
        if (!p.identityHeader.empty())
            n["identity_header"] = p.identityHeader;
        if (!p.allSubscriptions) {
            n["subscriptions"] = p.subscriptions;
        }
        n["token_lifetime_seconds"] = p.tokenLifetime;
        principals.push_back(n);
    }
    out["service_principals"] = principals;

    std::vector<const Subscription*> subs;
    for (const auto& [k, sub] : s.subscriptions) {
        subs.push_back(&sub);
    }
    std::sort(subs.begin(), subs.end(), [](auto* a, auto* b) { return a->seq < b->seq; });
    Json subsOut = Json::array();
    for (const Subscription* sub : subs) {
        Json subNode = {{"id", sub->id}, {"displayName", sub->displayName}};
        if (!sub->tenant.empty()) {
            subNode["tenant"] = sub->tenant;
        }
        std::vector<const ResourceGroup*> groups;
        const std::string subKey = "/subscriptions/" + dm::text::toLower(sub->id) + "/";
        for (auto it = s.groups.lower_bound(subKey);
             it != s.groups.end() && dm::text::startsWith(it->first, subKey); ++it) {
            groups.push_back(&it->second);
        }
        std::sort(groups.begin(), groups.end(), [](auto* a, auto* b) { return a->seq < b->seq; });
        Json groupsOut = Json::array();
        for (const ResourceGroup* rg : groups) {
            Json g = {{"name", rg->name}, {"location", rg->location}};
            if (!rg->tags.is_null()) {
                g["tags"] = rg->tags;
            }
            const std::string base = groupKey(sub->id, rg->name) + "/providers/microsoft.network/";

            Json tables = Json::array();
            for (const Entry* e : ofKind(s, base + "routetables/", Kind::RouteTable)) {
                Json t = node(*e, {"routes", "subnets"});
                Json routes = Json::array();
                for (const auto& r : e->body["properties"].value("routes", Json::array())) {
                    Json rn = {{"name", r.value("name", Json())}};
                    rn.update(flatten(r.value("properties", Json::object()), {}));
                    routes.push_back(rn);
                }
                t["routes"] = routes;
                tables.push_back(t);
            }
            g["routeTables"] = tables;

            Json vnets = Json::array();
            for (const Entry* e : ofKind(s, base + "virtualnetworks/", Kind::VirtualNetwork)) {
                Json v = node(*e, {"addressSpace", "subnets", "virtualNetworkPeerings"});
                const Json& p = e->body["properties"];
                if (p.contains("addressSpace")) {
                    const Json& space = p["addressSpace"];
                    if (space.is_object() && space.size() == 1 &&
                        space.contains("addressPrefixes")) {
                        v["addressPrefixes"] = space["addressPrefixes"];
                    } else {
                        v["addressSpace"] = space;
                    }
                }
                const std::string vk = idKey(e->body["id"].get<std::string>());
                Json subnets = Json::array();
                for (const Entry* c : ofKind(s, vk + "/subnets/", Kind::Subnet)) {
                    subnets.push_back(node(*c, {}));
                }
                Json peerings = Json::array();
                for (const Entry* c : ofKind(s, vk + "/virtualnetworkpeerings/", Kind::Peering)) {
                    peerings.push_back(node(*c, {}));
                }
                v["subnets"] = subnets;
                v["virtualNetworkPeerings"] = peerings;
                vnets.push_back(v);
            }
            g["virtualNetworks"] = vnets;

            Json gateways = Json::array();
            for (const Entry* e : ofKind(s, base + "virtualnetworkgateways/", Kind::Gateway)) {
                Json gw = node(*e, {"ipConfigurations"});
                Json configs = Json::array();
                for (const auto& c :
                     e->body["properties"].value("ipConfigurations", Json::array())) {
                    Json cn = {{"name", c.value("name", Json())}};
                    cn.update(flatten(c.value("properties", Json::object()), {}));
                    configs.push_back(cn);
                }
                gw["ipConfigurations"] = configs;
                gateways.push_back(gw);
            }
            g["virtualNetworkGateways"] = gateways;

            Json hubs = Json::array();
            for (const Entry* e : ofKind(s, base + "virtualhubs/", Kind::Hub)) {
                Json h = node(*e, {});
                h["managedVirtualNetwork"] = e->managedVnet;
                Json conns = Json::array();
                const std::string hk = idKey(e->body["id"].get<std::string>());
                for (const Entry* c :
                     ofKind(s, hk + "/hubvirtualnetworkconnections/", Kind::HubConnection)) {
                    conns.push_back(node(*c, {}));
                }
                h["hubVirtualNetworkConnections"] = conns;
                hubs.push_back(h);
            }
            g["virtualHubs"] = hubs;
            groupsOut.push_back(g);
        }
        subNode["resourceGroups"] = groupsOut;
        subsOut.push_back(subNode);
    }
    out["subscriptions"] = subsOut;

    std::vector<const Lock*> locks;
    for (const auto& [k, l] : s.locks) {
        locks.push_back(&l);
    }
    std::sort(locks.begin(), locks.end(), [](auto* a, auto* b) { return a->seq < b->seq; });
    Json locksOut = Json::array();
    for (const Lock* l : locks) {
        Json n = {{"scope", l->scope}, {"name", l->name}, {"level", l->level}};
        if (!l->notes.is_null()) {
            n["notes"] = l->notes;
        }
        if (!l->owners.is_null()) {
            n["owners"] = l->owners;
        }
        locksOut.push_back(n);
    }
    out["locks"] = locksOut;
    return out;
}

}  // namespace dm::emu

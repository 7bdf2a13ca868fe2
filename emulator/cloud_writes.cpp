// Writes on network resources: the checks every PUT and DELETE share, then the rules of each
// resource kind (peerings have theirs in cloud_peerings.cpp).

#include "cloud_handler.hpp"
#include "cloud_internal.hpp"

namespace dm::emu {

Reply Handler::put(Kind kind, const std::string& id, const std::string& name) {
    const std::string key = idKey(id);
    if (auto refused = conflicts(conflictScope(kind, key)); refused) {
        return *refused;
    }
    Json in = Json::parse(c_.body, nullptr, false);
    if (in.is_discarded() || !in.is_object() ||
        (in.contains("properties") && !in["properties"].is_object())) {
        return armError(400, "InvalidRequestFormat",
                        "Cannot parse the request. The body must be a JSON object.");
    }
    auto existing = s_.resources.find(key);
    const bool exists = existing != s_.resources.end();
    const Entry* parent = nullptr;
    if (kind == Kind::Subnet || kind == Kind::Peering || kind == Kind::HubConnection) {
        const std::string pk = parentKey(key);
        parent = findKind(s_, pk, kind == Kind::HubConnection ? Kind::Hub : Kind::VirtualNetwork);
        if (parent == nullptr) {
            return armError(404, "ResourceNotFound", "The Resource '" + pk + "' was not found.");
        }
    }
    if (const Lock* lock = blockingLock(s_, key, false); lock != nullptr) {
        return scopeLocked(id, *lock, false);
    }

    // Whole-object replace: what the client leaves out is gone, what we do not know is kept.
    Json body = {{"id", exists ? existing->second.body["id"] : Json(id)},
                 {"name", exists ? existing->second.body["name"] : Json(name)},
                 {"type", kindType(kind)}};
    if (hasLocation(kind)) {
        if (in.contains("location") && in["location"].is_string()) {
            body["location"] = in["location"];
        } else if (exists && existing->second.body.contains("location")) {
            body["location"] = existing->second.body["location"];
        } else {
            return armError(400, "LocationRequired",
                            "The location property is required for this definition.");
        }
    }
    for (auto it = in.begin(); it != in.end(); ++it) {
        if (it.key() != "id" && it.key() != "name" && it.key() != "type" && it.key() != "etag" &&
            it.key() != "location" && it.key() != "properties") {
            body[it.key()] = it.value();
        }
    }
    Json props = in.contains("properties") ? in["properties"] : Json::object();
    props.erase("provisioningState");

    std::string location = body.contains("location") ? body["location"].get<std::string>() : "";
    if (parent != nullptr && parent->body.contains("location")) {
        location = parent->body["location"].get<std::string>();
    }

    PutTarget target{id, key, exists ? &existing->second : nullptr, location};
    if (auto refused = kindRules(kind, target, props); refused) {
        return *refused;
    }
    body["properties"] = props;

    Operation op;
    op.method = "PUT";
    op.key = key;
    op.targetId = body["id"].get<std::string>();
    op.kind = kind;
    op.newBody = body;
    op.creates = !exists;
    op.subscription = segments(id).at(1);
    op.location = plainLocation(location.empty() ? "global" : location);
    Entry shown;
    shown.kind = kind;
    shown.body = body;
    Json reply = view(s_, key, shown, "Updating");
    return startOperation(std::move(op), exists ? 200 : 201, reply);
}

std::optional<Reply> Handler::kindRules(Kind kind, const PutTarget& t, Json& props) {
    switch (kind) {
        case Kind::Subnet:
            return putSubnet(t, props);
        case Kind::Peering:
            return putPeering(t, props);
        case Kind::RouteTable:
            return putRouteTable(t, props);
        case Kind::HubConnection:
            return putHubConnection(t, props);
        default:
            return std::nullopt;
    }
}

std::optional<Reply> Handler::putSubnet(const PutTarget& t, Json& props) {
    if (props.contains("routeTable") && !props["routeTable"].is_null()) {
        const std::string rtId = refId(props["routeTable"]);
        const Entry* rt = findKind(s_, idKey(rtId), Kind::RouteTable);
        if (rt == nullptr ||
            plainLocation(rt->body.value("location", "")) != plainLocation(t.location)) {
            return armError(400, "InvalidResourceReference",
                            "Resource " + (rtId.empty() ? std::string("routeTable") : rtId) +
                                " referenced by resource " + t.id +
                                " was not found. Please make sure that the referenced resource "
                                "exists, and that both resources are in the same region.");
        }
        props["routeTable"] = {{"id", rtId}};  // only the id matters, as in ARM
    } else {
        props.erase("routeTable");
    }
    return std::nullopt;
}

std::optional<Reply> Handler::putRouteTable(const PutTarget& t, Json& props) {
    props.erase("subnets");
    if (props.contains("routes") && props["routes"].is_array()) {
        for (auto& route : props["routes"]) {
            if (route.is_object() && route.contains("name") && route["name"].is_string()) {
                route["id"] = t.id + "/routes/" + route["name"].get<std::string>();
            }
        }
    }
    return std::nullopt;
}

std::optional<Reply> Handler::putHubConnection(const PutTarget& t, Json& props) {
    const std::string remote =
        props.contains("remoteVirtualNetwork") ? refId(props["remoteVirtualNetwork"]) : "";
    if (findKind(s_, idKey(remote), Kind::VirtualNetwork) == nullptr) {
        return armError(400, "InvalidResourceReference",
                        "Resource " +
                            (remote.empty() ? std::string("remoteVirtualNetwork") : remote) +
                            " referenced by resource " + t.id + " was not found.");
    }
    if (const Lock* lock = blockingLock(s_, idKey(remote), false); lock != nullptr) {
        return scopeLocked(remote, *lock, false);
    }
    return std::nullopt;
}

Reply Handler::remove(Kind kind, const std::string& key) {
    if (auto refused = conflicts(conflictScope(kind, key)); refused) {
        return *refused;
    }
    auto it = s_.resources.find(key);
    if (it == s_.resources.end() || it->second.kind != kind) {
        return jsonReply(204, nullptr);
    }
    const Entry& e = it->second;
    const std::string id = e.body["id"].get<std::string>();
    if (const Lock* lock = blockingLock(s_, key, true); lock != nullptr) {
        return scopeLocked(id, *lock, true);
    }
    if (kind == Kind::Peering) {
        if (const Entry* hub = hubOfManagedVnet(s_, idKey(remoteOf(e))); hub != nullptr) {
            return armError(400, "PeeringManagedByVirtualHub",
                            "Peering " + id + " belongs to virtual hub " +
                                hub->body["id"].get<std::string>() +
                                "; delete its hub virtual network connection instead.");
        }
    }
    if (kind == Kind::HubConnection) {
        // Removing the connection deletes the hub peering on the spoke VNet, which its locks
        // refuse like any other peering deletion.
        const std::string spoke = remoteOf(e);
        if (const Lock* lock = blockingLock(s_, idKey(spoke), true); lock != nullptr) {
            return scopeLocked(spoke, *lock, true);
        }
    }
    Operation op;
    op.method = "DELETE";
    op.key = key;
    op.targetId = id;
    op.kind = kind;
    op.subscription = segments(id).at(1);
    std::string location = e.body.value("location", "");
    if (location.empty()) {
        if (auto p = s_.resources.find(parentKey(key)); p != s_.resources.end()) {
            location = p->second.body.value("location", "");
        }
    }
    op.location = plainLocation(location.empty() ? "global" : location);
    return startOperation(std::move(op), 202, nullptr);
}

}  // namespace dm::emu

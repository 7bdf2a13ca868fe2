// Peering rules: how a peering's state follows the peering back from the remote VNet, the
// peerings a hub connection adds to its spoke, and what a PUT of a peering may change.

#include <algorithm>
#include <set>

#include "cloud_handler.hpp"
#include "cloud_internal.hpp"
#include "core/text.hpp"

namespace dm::emu {
namespace {

using dm::text::startsWith;
using dm::text::toLower;

}  // namespace

// The hub whose managed VNet has this key, or null.
const Entry* hubOfManagedVnet(const CloudModel::State& s, const std::string& vnetKey) {
    for (const auto& [key, e] : s.resources) {
        if (e.kind == Kind::Hub && idKey(e.managedVnet) == vnetKey) {
            return &e;
        }
    }
    return nullptr;
}

// The peering of `vnetKey` whose remote is `remoteKey`, or null.
Entry* peeringTo(CloudModel::State& s, const std::string& vnetKey, const std::string& remoteKey) {
    for (auto& [key, e] : children(s, vnetKey, "virtualnetworkpeerings")) {
        if (idKey(remoteOf(*e)) == remoteKey) {
            return &s.resources.at(key);
        }
    }
    return nullptr;
}

void setPeeringState(Entry& e, const std::string& state) {
    e.body["properties"]["peeringState"] = state;
}

std::string peeringState(const Entry& e) {
    const Json& p = e.body["properties"];
    return p.contains("peeringState") && p["peeringState"].is_string()
               ? p["peeringState"].get<std::string>()
               : "Initiated";
}

// A new peering is Connected when the remote VNet peers back (and that side is not
// Disconnected, which only a re-creation cures); otherwise it waits in Initiated.
void peeringCreated(CloudModel::State& s, const std::string& key) {
    Entry& p = s.resources.at(key);
    const std::string remoteKey = idKey(remoteOf(p));
    if (hubOfManagedVnet(s, remoteKey) != nullptr) {
        setPeeringState(p, "Connected");
        return;
    }
    Entry* back = findKind(s, remoteKey, Kind::VirtualNetwork) != nullptr
                      ? peeringTo(s, remoteKey, parentKey(key))
                      : nullptr;
    if (back != nullptr && peeringState(*back) != "Disconnected") {
        setPeeringState(p, "Connected");
        setPeeringState(*back, "Connected");
    } else {
        setPeeringState(p, "Initiated");
    }
}

void peeringDeleted(CloudModel::State& s, const std::string& vnetKey,
                    const std::string& remoteKey) {
    if (findKind(s, remoteKey, Kind::VirtualNetwork) == nullptr) {
        return;
    }
    if (Entry* back = peeringTo(s, remoteKey, vnetKey);
        back != nullptr && peeringState(*back) == "Connected") {
        setPeeringState(*back, "Disconnected");
    }
}

void removeHubPeering(CloudModel::State& s, const std::string& vnetKey, const Entry& hub) {
    if (Entry* p = peeringTo(s, vnetKey, idKey(hub.managedVnet)); p != nullptr) {
        s.resources.erase(idKey(p->body["id"].get<std::string>()));
    }
}

void addHubPeering(CloudModel::State& s, const Entry& hub, const Entry& connection) {
    const std::string vnetKey = idKey(remoteOf(connection));
    Entry* vnet = findKind(s, vnetKey, Kind::VirtualNetwork);
    if (vnet == nullptr || peeringTo(s, vnetKey, idKey(hub.managedVnet)) != nullptr) {
        return;
    }
    const std::string name =
        "RemoteVnetToHubPeering_" + stableGuid(idKey(connection.body["id"].get<std::string>()));
    const std::string id = vnet->body["id"].get<std::string>() + "/virtualNetworkPeerings/" + name;
    Json props = {{"remoteVirtualNetwork", {{"id", hub.managedVnet}}},
                  {"allowVirtualNetworkAccess", true},
                  {"allowForwardedTraffic", false},
                  {"allowGatewayTransit", false},
                  {"useRemoteGateways", true},
                  {"peeringState", "Connected"}};
    const Json& hubProps = hub.body["properties"];
    if (hubProps.contains("addressPrefix") && hubProps["addressPrefix"].is_string()) {
        props["remoteAddressSpace"] = {
            {"addressPrefixes", Json::array({hubProps["addressPrefix"]})}};
    }
    Entry e;
    e.kind = Kind::Peering;
    e.seq = s.seq();
    e.body = {{"id", id},
              {"name", name},
              {"type", kindType(Kind::Peering)},
              {"etag", newEtag()},
              {"properties", props}};
    s.resources[idKey(id)] = std::move(e);
}

void settleLoadedPeerings(CloudModel::State& s, const std::vector<std::string>& explicitStates) {
    for (const auto& [key, e] : s.resources) {
        if (e.kind == Kind::HubConnection) {
            if (const Entry* hub = findKind(s, parentKey(key), Kind::Hub); hub != nullptr) {
                addHubPeering(s, *hub, e);
            }
        }
    }
    const std::set<std::string> fixed(explicitStates.begin(), explicitStates.end());
    std::set<std::string> managed;
    for (const auto& [key, e] : s.resources) {
        if (e.kind == Kind::Hub) {
            managed.insert(idKey(e.managedVnet));
        }
    }
    for (auto& [key, e] : s.resources) {
        if (e.kind != Kind::Peering || fixed.count(key) != 0) {
            continue;
        }
        const std::string remoteKey = idKey(remoteOf(e));
        const bool hub = managed.count(remoteKey) != 0;
        const bool back = findKind(s, remoteKey, Kind::VirtualNetwork) != nullptr &&
                          peeringTo(s, remoteKey, parentKey(key)) != nullptr;
        setPeeringState(e, hub || back ? "Connected" : "Initiated");
    }
}

std::optional<Reply> Handler::putPeering(const PutTarget& t, Json& props) {
    const std::string remote =
        props.contains("remoteVirtualNetwork") ? refId(props["remoteVirtualNetwork"]) : "";
    if (remote.empty()) {
        return armError(400, "InvalidRequestFormat",
                        "Cannot parse the request: remoteVirtualNetwork.id is required.");
    }
    if (const Entry* hub = hubOfManagedVnet(s_, idKey(remote)); hub != nullptr) {
        return armError(400, "PeeringManagedByVirtualHub",
                        "Peering " + t.id + " belongs to virtual hub " +
                            hub->body["id"].get<std::string>() +
                            "; change it through its hub virtual network connection.");
    }
    if (t.existing != nullptr && peeringState(*t.existing) == "Disconnected") {
        return armError(400, "RemotePeeringIsDisconnected",
                        "Peering " + t.id +
                            " cannot be updated because the remote peering is "
                            "disconnected. Delete the peering and create it again.");
    }
    const auto remoteSegs = segments(remote);
    if (remoteSegs.size() > 1 && s_.subscriptions.count(toLower(remoteSegs[1])) != 0 &&
        !who_->allSubscriptions &&
        std::find(who_->subscriptions.begin(), who_->subscriptions.end(), toLower(remoteSegs[1])) ==
            who_->subscriptions.end()) {
        return armError(403, "LinkedAuthorizationFailed",
                        "The client '" + who_->clientId +
                            "' has permission to perform action "
                            "'Microsoft.Network/virtualNetworks/virtualNetworkPeerings/"
                            "write' on scope '" +
                            t.id +
                            "'; however, it does not have permission to perform action "
                            "'Microsoft.Network/virtualNetworks/peer/action' on the "
                            "linked scope(s) '" +
                            remote + "'.");
    }
    const bool useRemote = props.value("useRemoteGateways", false);
    if (useRemote && findKind(s_, idKey(remote), Kind::VirtualNetwork) != nullptr) {
        bool hasGateway = false;
        const std::string prefix = idKey(remote) + "/subnets/";
        for (const auto& [k, e] : s_.resources) {
            if (e.kind != Kind::Gateway) {
                continue;
            }
            for (const auto& ipc : e.body["properties"].value("ipConfigurations", Json::array())) {
                hasGateway =
                    hasGateway || startsWith(idKey(refId(ipc.value("properties", Json::object())
                                                             .value("subnet", Json::object()))),
                                             prefix);
            }
        }
        if (!hasGateway) {
            return armError(400, "RemoteVnetHasNoGateways",
                            "Peering " + t.id +
                                " has useRemoteGateways set, but remote "
                                "virtual network " +
                                remote + " has no gateways.");
        }
    }
    props.erase("peeringSyncLevel");
    props.erase("remoteAddressSpace");
    props.erase("remoteVirtualNetworkAddressSpace");
    props["peeringState"] = t.existing != nullptr ? peeringState(*t.existing) : "Initiated";
    if (t.existing == nullptr) {
        const std::string rk = idKey(remote);
        const Entry* back = findKind(s_, rk, Kind::VirtualNetwork) != nullptr
                                ? peeringTo(s_, rk, parentKey(t.key))
                                : nullptr;
        if (back != nullptr && peeringState(*back) != "Disconnected") {
            props["peeringState"] = "Connected";
        }
    }
    return std::nullopt;
}

}  // namespace dm::emu

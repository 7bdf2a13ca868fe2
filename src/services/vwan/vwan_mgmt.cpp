#include "services/vwan/vwan_mgmt.hpp"

#include <cctype>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include <spdlog/spdlog.h>

#include "core/error.hpp"
#include "core/log.hpp"
#include "core/resource_id.hpp"
#include "core/text.hpp"
#include "platform/azure/errors.hpp"
#include "platform/azure/network_client.hpp"
#include "services/common/yaml_context.hpp"
#include "services/context/globals.hpp"

namespace dm {
namespace {

// Connection writes on one hub wait for each other: VNets in flight at once may share a hub, and
// Azure refuses a second write on it while one is running.
std::unique_lock<std::mutex> holdHub(const azure::NetworkManagementClient& client,
                                     const std::string& resourceGroup, const std::string& hubName) {
    return currentRun().resourceLocks.hold(client.subscriptionId() + "/" + resourceGroup +
                                           "/hubs/" + hubName);
}

using azure::HubVirtualNetworkConnection;
using azure::NetworkManagementClient;
using azure::VirtualHub;
using azure::VirtualNetwork;

// Looked up on every call so that a logging set-up made after the first call still applies.
std::shared_ptr<spdlog::logger> log() {
    return namedLogger(VWanMgmt::LOGGER);
}

// "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx" in hex digits.
bool isGuid(std::string_view s) {
    if (s.size() != 36)
        return false;
    for (size_t i = 0; i < s.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? s[i] != '-' : !std::isxdigit(static_cast<unsigned char>(s[i])))
            return false;
    }
    return true;
}

struct HubScope {
    std::string subscriptionId;
    std::string resourceGroup;
    std::string hubName;
};

// A connection found on one of the hubs, with what deleting and recording it needs.
struct FoundConnection {
    HubScope hub;
    std::shared_ptr<NetworkManagementClient> client;
    HubVirtualNetworkConnection connection;
};

void addUnique(std::vector<std::string>& ids, const std::string& id) {
    for (const auto& known : ids) {
        if (text::iequals(known, id))
            return;
    }
    ids.push_back(id);
}

// The subscriptions to search and whether each was named explicitly (a named one without a
// credential is an error; a default one is simply passed over). nullopt: a malformed "vwan".
std::optional<std::pair<std::vector<std::string>, bool>> hubSubscriptions(
    const Record& optionRecord, const std::string& vnetSubscription) {
    const Record vwan = lookup(optionRecord, "vwan").value_or(Record());
    std::vector<std::string> ids;
    if (vwan.is_boolean() && !vwan.get<bool>())
        return std::make_pair(ids, true);
    if (vwan.is_null() || vwan.is_boolean() ||
        (vwan.is_string() && vwan.get<std::string>().empty())) {
        addUnique(ids, vnetSubscription);
        const Record& map = YamlContext().getSubscriptionMap();
        if (map.is_object()) {
            for (const auto& [id, info] : map.items())
                addUnique(ids, id);
        }
        return std::make_pair(ids, false);
    }
    if (vwan.is_string()) {
        ids.push_back(vwan.get<std::string>());
        return std::make_pair(ids, true);
    }
    if (vwan.is_array() && !vwan.empty()) {
        for (const auto& item : vwan) {
            if (!item.is_string() || item.get<std::string>().empty())
                return std::nullopt;
            addUnique(ids, item.get<std::string>());
        }
        return std::make_pair(ids, true);
    }
    return std::nullopt;
}

std::shared_ptr<NetworkManagementClient> clientFor(const AzureCredential& cred) {
    return std::make_shared<NetworkManagementClient>(cred.getCSC(), cred.getSubId());
}

// Every connection to `vnetId` on the hubs of the subscriptions; listing failures are logged and
// that subscription or hub is passed over.
std::vector<FoundConnection> findConnections(const std::vector<std::string>& subscriptions,
                                             bool named, const std::string& vnetId) {
    std::vector<FoundConnection> found;
    for (const auto& subId : subscriptions) {
        std::shared_ptr<NetworkManagementClient> client;
        std::vector<azure::ListItem<VirtualHub>> hubs;
        try {
            auto cred = YamlContext().generateAzureCredential(subId);
            if (!cred) {
                if (named) {
                    log()->error(
                        "  **Error** Cannot list virtual hubs. Missing credential for "
                        "subscription " +
                        subId);
                }
                continue;
            }
            client = clientFor(*cred);
            hubs = client->virtual_hubs.list();
        } catch (const std::exception& e) {
            log()->error("  **Error** Failed to list virtual hubs of subscription " + subId + " -" +
                         e.what());
            continue;
        }
        for (const auto& hub : hubs) {
            try {
                const HubScope scope{subId, resourceGroupOf(hub.id()), hub.name()};
                for (auto& conn : client->hub_virtual_network_connections.list(scope.resourceGroup,
                                                                               scope.hubName)) {
                    auto remote = conn.remote_virtual_network();
                    if (remote && text::iequals(*remote, vnetId))
                        found.push_back({scope, client, conn.resource()});
                }
            } catch (const std::exception& e) {
                log()->error("  **Error** Failed to list connections of virtual hub " + hub.name() +
                             " -" + e.what());
            }
        }
    }
    return found;
}

// After a failed delete: true when the connection is gone or going, or when that cannot be told.
// Losing the record of a removed connection is worse than re-creating one that stayed.
bool removedAnyway(const FoundConnection& f) {
    const std::string name = f.connection.name();
    try {
        auto now =
            f.client->hub_virtual_network_connections.get(f.hub.resourceGroup, f.hub.hubName, name);
        if (text::iequals(now.provisioning_state().value_or(""), "Deleting")) {
            log()->info("  hub connection " + name + " is being deleted; recorded for restore");
            return true;
        }
        return false;
    } catch (const azure::ResourceNotFoundError&) {
        log()->info("  hub connection " + name + " is gone; recorded for restore");
        return true;
    } catch (const std::exception& e) {
        log()->warn("  **Alert** Cannot tell whether hub connection " + name +
                    " still exists; recorded for restore -" + e.what());
        return true;
    }
}

Record removedRecord(const FoundConnection& f) {
    Record r = Record::object();
    r["hubSubscriptionId"] = f.hub.subscriptionId;
    r["hubRgName"] = f.hub.resourceGroup;
    r["hubName"] = f.hub.hubName;
    r["connectionName"] = f.connection.name();
    r["connection"] = f.connection.json();
    return r;
}

// The parts of a connection's properties that the service computes and does not take back.
void dropReadOnly(Record& properties) {
    properties.erase("provisioningState");
    auto config = properties.find("routingConfiguration");
    if (config == properties.end() || !config->is_object())
        return;
    auto routes = config->find("vnetRoutes");
    if (routes == config->end() || !routes->is_object())
        return;
    routes->erase("bgpConnections");
    auto staticConfig = routes->find("staticRoutesConfig");
    if (staticConfig != routes->end() && staticConfig->is_object())
        staticConfig->erase("propagateStaticRoutes");
}

const std::string& requireText(const Record& entry, const char* key, size_t index) {
    auto it = entry.find(key);
    if (it == entry.end() || !it->is_string() || it->get<std::string>().empty()) {
        throw Error("hub connection record " + std::to_string(index) + ": missing \"" + key + "\"");
    }
    return it->get_ref<const std::string&>();
}

// The storable form of one removed connection; `index` names it in the error of a bad entry.
Record serializeOne(const Record& entry, size_t index) {
    if (!entry.is_object())
        throw Error("hub connection record " + std::to_string(index) + ": expected a map");
    Record r = Record::object();
    for (const char* key : {"hubSubscriptionId", "hubRgName", "hubName", "connectionName"})
        r[key] = requireText(entry, key, index);
    const Record connection = lookup(entry, "connection").value_or(Record());
    if (!connection.is_object())
        throw Error("hub connection record " + std::to_string(index) + ": missing \"connection\"");
    Record kept = Record::object();
    if (auto id = lookup(connection, "id"))
        kept["id"] = *id;
    kept["name"] = r["connectionName"];
    Record properties = lookup(connection, "properties").value_or(Record::object());
    if (properties.is_object())
        dropReadOnly(properties);
    kept["properties"] = properties;
    r["connection"] = kept;
    return r;
}

}  // namespace

std::string VWanMgmt::getVHubNameFromPeering(const std::string& remoteVnetId) {
    const auto fields = splitResourceId(remoteVnetId);
    const size_t size = fields.size();
    const bool vnetId =
        (size == ResourceIdLayout::VNET_I + 1 ||
         (size == ResourceIdLayout::VNET_I + 2 && fields.back().empty())) &&
        text::iequals(fields[1], "subscriptions") && text::iequals(fields[3], "resourceGroups") &&
        text::iequals(fields[5], "providers") && text::iequals(fields[6], "Microsoft.Network") &&
        text::iequals(fields[7], "virtualNetworks");
    if (!vnetId)
        return "";
    const std::string& group = fields[ResourceIdLayout::RG_I];
    const std::string& vnet = fields[ResourceIdLayout::VNET_I];
    if (!text::iequals(vnet.substr(0, 3), "HV_") || !text::iequals(group.substr(0, 3), "RG_"))
        return "";
    // RG_<hub>_<guid> keeps the hub name whole; HV_ may cut it.
    std::string hub = group.substr(3);
    if (hub.size() > 37 && hub[hub.size() - 37] == '_' && isGuid(hub.substr(hub.size() - 36)))
        hub.resize(hub.size() - 37);
    return hub;
}

Record VWanMgmt::deleteVHubConnection(const VirtualNetwork& vnet, const Record& optionRecord,
                                      Record* recordAhead) {
    Record removed = Record::array();
    log()->info("- Delete virtual hub connections");
    const std::string vnetId = vnet.id();

    std::vector<std::string> hubPeerings;  // hub names the VNet's peerings lead to
    for (const auto& peering : vnet.virtual_network_peerings()) {
        std::string hub = getVHubNameFromPeering(peering.remote_virtual_network().value_or(""));
        if (!hub.empty())
            hubPeerings.push_back(hub);
    }
    std::vector<FoundConnection> found;
    if (!hubPeerings.empty()) {
        auto subscriptions =
            hubSubscriptions(optionRecord, resourceIdField(vnetId, ResourceIdLayout::SUB_I));
        if (!subscriptions) {
            log()->error(
                "  **Error** Option vwan must be null, a boolean, a subscription id or a list of "
                "subscription ids, not " +
                lookup(optionRecord, "vwan").value_or(Record()).dump());
            return removed;
        }
        // Every read comes before the first delete: a failing read cannot strand a removal.
        found = findConnections(subscriptions->first, subscriptions->second, vnetId);
        for (const auto& hub : hubPeerings) {
            bool matched = false;
            for (const auto& f : found)
                matched = matched || text::iequals(f.hub.hubName, hub);
            if (!matched) {
                log()->warn("  **Alert** " + vnet.name() + " is peered with virtual hub " + hub +
                            " but no connection of that hub was found");
            }
        }
    }
    if (found.empty()) {
        log()->info("  No virtual hub connection found");
        return removed;
    }

    for (const auto& f : found) {
        const std::string name = f.connection.name();
        log()->info("  delete hub connection " + name + " in " + f.hub.hubName);
        if (recordAhead)
            recordAhead->push_back(getSerialize(Record::array({removedRecord(f)}))[0]);
        if (Globals::getDryRun()) {
            removed.push_back(removedRecord(f));
            continue;
        }
        try {
            auto hold = holdHub(*f.client, f.hub.resourceGroup, f.hub.hubName);
            f.client->hub_virtual_network_connections
                .begin_delete(f.hub.resourceGroup, f.hub.hubName, name)
                .result();
        } catch (const std::exception& e) {
            log()->error("  **Error** Failed to delete hub connection " + name + " -" + e.what());
            if (!removedAnyway(f)) {
                if (recordAhead)
                    recordAhead->erase(recordAhead->end() - 1);
                continue;
            }
        }
        removed.push_back(removedRecord(f));
    }
    return removed;
}

Record VWanMgmt::getSerialize(const Record& connections) {
    Record out = Record::array();
    if (connections.is_null())
        return out;
    if (!connections.is_array())
        throw Error("hub connection list: expected a list, found " + connections.dump());
    for (size_t i = 0; i < connections.size(); ++i)
        out.push_back(serializeOne(connections[i], i));
    return out;
}

namespace {

bool isPresent(const NetworkManagementClient& client, const std::string& resourceGroup,
               const std::string& hubName, const std::string& name) {
    try {
        // One being deleted (by a switch that was stopped while it waited) is as good as gone.
        auto connection = client.hub_virtual_network_connections.get(resourceGroup, hubName, name);
        return !text::iequals(connection.provisioning_state().value_or(""), "Deleting");
    } catch (const azure::ResourceNotFoundError&) {
        return false;
    }
}

}  // namespace

void VWanMgmt::restoreVhcConnection(const VirtualNetwork& vnet, const Record& /*optionRecord*/,
                                    const Record& stored) {
    log()->info("- Restore virtual hub connections");
    if (!stored.is_array() || stored.empty()) {
        log()->info("  no virtual hub connection found");
        return;
    }
    for (size_t i = 0; i < stored.size(); ++i) {
        std::string name = "#" + std::to_string(i);
        try {
            // One entry at a time, so that a malformed one stops only itself.
            const Record entry = serializeOne(stored[i], i);
            name = entry["connectionName"].get<std::string>();
            const std::string subId = entry["hubSubscriptionId"].get<std::string>();
            const std::string hubName = entry["hubName"].get<std::string>();
            const std::string hubRg = entry["hubRgName"].get<std::string>();
            auto cred = YamlContext().generateAzureCredential(subId);
            auto client = cred ? clientFor(*cred) : nullptr;
            // A revert run again after it restored this connection finds it there.
            if (client && isPresent(*client, hubRg, hubName, name)) {
                log()->info("  hub connection " + name + " already present in " + hubName);
                continue;
            }
            log()->info("  add hub connection " + name + " to " + hubName);
            HubVirtualNetworkConnection connection(entry["connection"]);
            auto remote = connection.remote_virtual_network();
            if (remote && !text::iequals(*remote, vnet.id())) {
                log()->warn("  **Alert** hub connection " + name + " leads to " + *remote +
                            ", not to " + vnet.name());
            }
            if (!client) {
                log()->error("  **Error** Cannot add hub connection " + name +
                             ". Missing credential for subscription " + subId);
                continue;
            }
            if (Globals::getDryRun())
                continue;
            auto hold = holdHub(*client, hubRg, hubName);
            client->hub_virtual_network_connections
                .begin_create_or_update(hubRg, hubName, name, connection)
                .result();
        } catch (const std::exception& e) {
            log()->error("  **Error** Failed to add hub connection " + name + " -" + e.what());
        }
    }
}

}  // namespace dm

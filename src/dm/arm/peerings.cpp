// Native VNet peerings: deleting both ends of a VNet's peerings with a record of each pair, and
// re-creating them from that record.

#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.hpp"
#include "core/resource_id.hpp"
#include "core/text.hpp"
#include "dm/arm/cutoverlib.hpp"
#include "dm/arm/kept_listings.hpp"
#include "dm/arm/library_log.hpp"
#include "dm/arm/peering_snapshot.hpp"
#include "platform/azure/errors.hpp"
#include "services/common/discoverylib.hpp"
#include "services/common/yaml_context.hpp"
#include "services/context/run_context.hpp"
#include "services/vwan/vwan_mgmt.hpp"

namespace dm::arm {

namespace {

NetworkManagementClient clientOf(const AzureCredential& cred) {
    return NetworkManagementClient(cred.getCSC(), cred.getSubId());
}

// The remote VNet id of a peering; a peering without one cannot be followed.
std::string remoteVnetIdOf(const VirtualNetworkPeering& peering) {
    auto id = peering.remote_virtual_network();
    if (!id || id->empty())
        throw Error("peering " + peering.name() + " has no remote virtual network");
    return *id;
}

// Text value of a peering-pair record's key; a stored record that lost a key is refused whole.
std::string pairText(const Record& pair, const char* key) {
    auto value = lookup(pair, key);
    if (!value || !value->is_string())
        throw Error(std::string("peering record has no \"") + key + "\"");
    return value->get<std::string>();
}

const Record& pairSnapshot(const Record& pair, const char* key) {
    auto it = pair.find(key);
    if (it == pair.end() || !it->is_object())
        throw Error(std::string("peering record has no \"") + key + "\"");
    return *it;
}

// One end of a stored pair, checked before anything is sent.
struct PeeringEnd {
    std::string subscriptionId;
    std::string resourceGroup;
    std::string vnetName;
    std::string peeringName;
    Record snapshot;
};

PeeringEnd endOf(const Record& pair, const char* side) {
    const std::string s(side);
    return {pairText(pair, (s + "SubscriptionId").c_str()), pairText(pair, (s + "RgName").c_str()),
            pairText(pair, (s + "VnetName").c_str()), pairText(pair, (s + "PeeringName").c_str()),
            pairSnapshot(pair, (s + "Peering").c_str())};
}

// What a revert finds of one end of a pair.
enum class EndState { Present, Missing, Disconnected, Unknown };

struct FoundEnd {
    EndState state = EndState::Unknown;
    std::optional<NetworkManagementClient> client;
};

// Reads the end; a failure is logged and leaves the state Unknown (nothing more is tried).
FoundEnd inspectEnd(const PeeringEnd& end, const char* label) {
    auto log = libraryLogger();
    FoundEnd found;
    auto cred = YamlContext().generateAzureCredential(end.subscriptionId);
    if (!cred) {
        log->info(std::string("  add ") + label + " peering " + end.peeringName + " to " +
                  end.vnetName);
        log->error("  **Error** Cannot add peering. Missing credential for subscription " +
                   end.subscriptionId);
        return found;
    }
    found.client.emplace(clientOf(*cred));
    try {
        auto current = found.client->virtual_network_peerings.get(end.resourceGroup, end.vnetName,
                                                                  end.peeringName);
        // One being deleted (by a switch that was stopped while it waited) is as good as gone.
        if (text::iequals(current.provisioning_state().value_or(""), "Deleting"))
            found.state = EndState::Missing;
        else if (text::iequals(current.peering_state().value_or(""), "Disconnected"))
            found.state = EndState::Disconnected;
        else
            found.state = EndState::Present;
    } catch (const azure::ArmError& e) {
        if (e.status() == 404)
            found.state = EndState::Missing;
        else
            log->error("  **Error** Failed to read peering " + end.peeringName + " -" + e.what());
    }
    return found;
}

// Peering writes on one VNet wait for each other: VNets in flight at once may change the
// peerings of one hub, and Azure refuses a second write on a VNet while one is running.
std::unique_lock<std::mutex> holdVnet(const NetworkManagementClient& client,
                                      const std::string& resourceGroup,
                                      const std::string& vnetName) {
    return currentRun().resourceLocks.hold(client.subscriptionId() + "/" + resourceGroup + "/" +
                                           vnetName);
}

// Deletes an end that stands alone, so the pair can be made again: Azure refuses to pair with an
// end whose other end went. Answers false (logged) when it could not be deleted.
bool deleteSurvivor(const FoundEnd& found, const PeeringEnd& end) {
    auto log = libraryLogger();
    log->info(std::string("  delete ") +
              (found.state == EndState::Disconnected ? "disconnected " : "") + "peering " +
              end.peeringName + " of " + end.vnetName + ", whose other end is gone");
    if (SwitchTraffic::DryRun)
        return true;
    try {
        auto hold = holdVnet(*found.client, end.resourceGroup, end.vnetName);
        keptListings().peeringWritten(found.client->subscriptionId(), end.resourceGroup,
                                      end.vnetName);
        found.client->virtual_network_peerings
            .begin_delete(end.resourceGroup, end.vnetName, end.peeringName)
            .result();
        return true;
    } catch (const std::exception& e) {
        log->error("  **Error** Failed to delete peering " + end.peeringName + " -" + e.what());
        return false;
    }
}

// Re-creates one end and waits for it; a failure is logged and the caller goes on.
void createEnd(const NetworkManagementClient& client, const PeeringEnd& end, const char* label) {
    auto log = libraryLogger();
    log->info(std::string("  add ") + label + " peering " + end.peeringName + " to " +
              end.vnetName);
    if (SwitchTraffic::DryRun)
        return;
    try {
        auto hold = holdVnet(client, end.resourceGroup, end.vnetName);
        keptListings().peeringWritten(client.subscriptionId(), end.resourceGroup, end.vnetName);
        client.virtual_network_peerings
            .begin_create_or_update(end.resourceGroup, end.vnetName, end.peeringName,
                                    peeringFromSnapshot(end.snapshot))
            .result();
    } catch (const std::exception& e) {
        log->error("  **Error** Failed to add peering " + end.peeringName + " -" + e.what());
    }
}

// Deletes one end and waits for it; a failure is logged and answers false.
bool deleteEnd(const NetworkManagementClient& client, const std::string& resourceGroup,
               const std::string& vnetName, const std::string& peeringName) {
    auto log = libraryLogger();
    log->info("  delete peering " + peeringName);
    if (SwitchTraffic::DryRun)
        return true;
    try {
        auto hold = holdVnet(client, resourceGroup, vnetName);
        client.virtual_network_peerings.begin_delete(resourceGroup, vnetName, peeringName).result();
        keptListings().peeringDeleted(client.subscriptionId(), resourceGroup, vnetName,
                                      peeringName);
        return true;
    } catch (const std::exception& e) {
        log->error("  **Error** Failed to delete peering " + peeringName + " -" + e.what());
        return false;
    }
}

// The '/'-separated fields of a resource id up to the VNet's, as splitResourceId gives them,
// viewed in `id`: the remote end is looked for among every peering of a hub.
std::vector<std::string_view> idFieldsOf(std::string_view id) {
    std::vector<std::string_view> fields;
    fields.reserve(DiscoveryLib::VNET_I + 1);
    while (fields.size() <= DiscoveryLib::VNET_I) {
        const auto slash = id.find('/');
        fields.push_back(id.substr(0, slash));
        if (slash == std::string_view::npos)
            break;
        id.remove_prefix(slash + 1);
    }
    return fields;
}

}  // namespace

std::optional<RemotePeering> SwitchTraffic::getRemotePeering(
    const std::optional<AzureCredential>& /*cred*/, const std::string& remotePeeringVnetId,
    const std::string& localPeerId) {
    auto log = libraryLogger();
    const std::string localSub = resourceIdField(localPeerId, DiscoveryLib::SUB_I);
    const std::string localRg = resourceGroupOf(localPeerId);
    const std::string localVnet = resourceIdField(localPeerId, DiscoveryLib::VNET_I);
    const std::string localPeering = resourceIdField(localPeerId, DiscoveryLib::PEER_I);
    log->debug("  local subscription id: " + localSub);
    log->debug("  local resource group: " + localRg);
    log->debug("  local vnet name: " + localVnet);
    log->debug("  local peering name: " + localPeering);

    const std::string remoteRg = resourceGroupOf(remotePeeringVnetId);
    const std::string remoteVnet = resourceIdField(remotePeeringVnetId, DiscoveryLib::VNET_I);
    const std::string remoteSub = resourceIdField(remotePeeringVnetId, DiscoveryLib::SUB_I);
    log->debug("  expected remote subscription id: " + remoteSub);
    log->debug("  expected remote resource group: " + remoteRg);
    log->debug("  expected remote vnet name: " + remoteVnet);

    // The caller's credential may be for another principal; the YAML's one is authoritative.
    auto remoteCred = YamlContext().generateAzureCredential(remoteSub);
    if (!remoteCred)
        throw Error("Missing credential for remote subscription " + remoteSub);
    const NetworkManagementClient client = clientOf(*remoteCred);
    const auto kept = keptListings().peerings(client, remoteRg, remoteVnet);
    const auto& peerings = *kept;

    // Azure names compare without case; the subscription in the id is not compared.
    for (const auto& peering : peerings) {
        auto back = peering.referenceIdView("remoteVirtualNetwork");
        if (!back)
            continue;
        const auto fields = idFieldsOf(*back);
        if (fields.size() <= DiscoveryLib::VNET_I)
            continue;
        if (text::iequals(fields[DiscoveryLib::RG_I], localRg) &&
            text::iequals(fields[DiscoveryLib::VNET_I], localVnet)) {
            log->debug("  remote peering name: " + peering.name());
            return RemotePeering{remoteRg, remoteVnet, peering.name(), peering.resource()};
        }
    }
    log->info("  failed to found remote peering info for " + localPeering);
    return std::nullopt;
}

Record SwitchTraffic::deletePeerings(const Record& YAML, const std::string& subscriptionId,
                                     const VirtualNetwork& vnet,
                                     const NetworkManagementClient* local_network_client,
                                     const std::optional<std::string>& exclude,
                                     Record* recordAhead) {
    std::optional<NetworkManagementClient> ownClient;
    if (!local_network_client) {
        auto cred = YamlContext().generateAzureCredential(subscriptionId);
        if (!cred)
            throw Error("Cannot delete peerings. Missing credential for subscription " +
                        subscriptionId);
        ownClient.emplace(clientOf(*cred));
        local_network_client = &*ownClient;
    }
    const NetworkManagementClient& localClient = *local_network_client;

    auto log = libraryLogger();
    Record pairs = Record::array();
    const std::string resourceGroup = resourceGroupOf(vnet.id());
    log->info("- Delete peerings");
    const auto entries = vnet.virtual_network_peerings();
    if (entries.empty()) {
        log->info("  No peering found");
        return pairs;
    }

    const bool deleteLocks = lookup(YAML, "delete_vnet_lock") == Record(true);
    for (const auto& entry : entries) {
        const std::string name = entry.name();
        if (exclude && text::startsWith(name, *exclude)) {
            log->info("  controller created peering " + name + " -- skipped");
            continue;
        }
        try {
            if (!VWanMgmt::getVHubNameFromPeering(remoteVnetIdOf(entry)).empty()) {
                log->info("  virtual hub connection " + name + " -- skipped");
                continue;
            }
        } catch (const std::exception& e) {
            log->error(std::string("  **Error** ") + e.what());
            continue;
        }

        std::optional<AzureCredential> remoteCred;
        std::optional<NetworkManagementClient> remoteClient;
        std::optional<RemotePeering> remote;
        Record pair;
        try {
            std::optional<VirtualNetworkPeering> found;
            try {
                found = localClient.virtual_network_peerings.get(resourceGroup, vnet.name(), name);
            } catch (const azure::ArmError& e) {
                if (e.status() != 404)
                    throw;
            }
            if (!found) {
                // Its pair went with an earlier VNet of the run, which recorded it.
                log->info("  peering " + name + " is gone already -- skipped");
                continue;
            }
            const VirtualNetworkPeering& local = *found;
            const std::string remoteVnetId = remoteVnetIdOf(local);
            const std::string remoteSub = resourceIdField(remoteVnetId, DiscoveryLib::SUB_I);
            remoteCred = YamlContext().generateAzureCredential(remoteSub);
            if (!remoteCred) {
                log->error(
                    "  **Error** Cannot delete peering. Missing credential for remote "
                    "subscription " +
                    remoteSub);
                continue;
            }
            remoteClient.emplace(clientOf(*remoteCred));
            remote = getRemotePeering(remoteCred, remoteVnetId, local.id());
            const Record localSnapshot = peeringSnapshot(local);
            if (!remote)
                throw Error("no peering of VNet " +
                            resourceIdField(remoteVnetId, DiscoveryLib::VNET_I) +
                            " points back at " + vnet.name());
            const Record remoteSnapshot = peeringSnapshot(remote->peering);

            auto mode = lookup(YAML, "delete_peering");
            if (!mode)
                throw Error("the configuration has no \"delete_peering\"");
            if (*mode != Record("all") && remote->peering.allow_gateway_transit() == false) {
                log->info("  peering between " + name + " and " + remote->peeringName +
                          " -- skipped, as remote peer's allow-gateway-transit flag is False");
                continue;
            }
            pair = {{"localSubscriptionId", subscriptionId},
                    {"localRgName", resourceGroup},
                    {"localVnetName", vnet.name()},
                    {"localPeeringName", name},
                    {"localPeering", localSnapshot},
                    {"remoteSubscriptionId", remoteSub},
                    {"remoteRgName", resourceGroupOf(remoteVnetId)},
                    {"remoteVnetName", resourceIdField(remoteVnetId, DiscoveryLib::VNET_I)},
                    {"remotePeeringName", remote->peeringName},
                    {"remotePeering", remoteSnapshot}};
        } catch (const std::exception& e) {
            log->error(std::string("  **Error** ") + e.what());
            continue;
        }

        if (deleteLocks) {
            // A lock that cannot be looked at would refuse the deletion anyway: leave the pair.
            try {
                if (auto remoteVnet = getVnet(remote->vnetName, *remoteClient))
                    deleteVnetLock(remoteCred, *remoteVnet, 2);
            } catch (const std::exception& e) {
                log->error(std::string("  **Error** ") + e.what());
                continue;
            }
        }
        // Recorded before anything is deleted, so that a revert re-creates what went.
        if (recordAhead)
            recordAhead->push_back(pair);
        pairs.push_back(std::move(pair));

        // A pair goes whole or not at all: with its local end still there the remote one stays.
        if (!deleteEnd(localClient, resourceGroup, vnet.name(), name)) {
            log->info("  peering " + remote->peeringName + " of " + remote->vnetName +
                      " kept, as its other end is still there");
            continue;
        }
        deleteEnd(*remoteClient, remote->resourceGroup, remote->vnetName, remote->peeringName);
    }
    return pairs;
}

void SwitchTraffic::addPeerings(const Record& peeringPairList) {
    auto log = libraryLogger();
    log->info("- Restore peerings");
    if (!peeringPairList.is_array() || peeringPairList.empty()) {
        log->info("  no peering found");
        return;
    }
    for (const auto& pair : peeringPairList) {
        PeeringEnd local, remote;
        try {
            local = endOf(pair, "local");
            remote = endOf(pair, "remote");
        } catch (const std::exception& e) {
            log->error(std::string("  **Error** ") + e.what());
            continue;
        }
        // Both ends are looked at first (a revert run again finds them there). When one is
        // missing, the other is or will be Disconnected: it goes too, and both are made again.
        const FoundEnd l = inspectEnd(local, "local");
        const FoundEnd r = inspectEnd(remote, "remote");
        if (l.state == EndState::Unknown || r.state == EndState::Unknown) {
            // The other end cannot be looked at: make what is missing here, touch nothing else.
            if (l.state == EndState::Missing)
                createEnd(*l.client, local, "local");
            if (r.state == EndState::Missing)
                createEnd(*r.client, remote, "remote");
            continue;
        }
        if (l.state == EndState::Present && r.state == EndState::Present) {
            log->info("  peering " + local.peeringName + " of " + local.vnetName + " and " +
                      remote.peeringName + " of " + remote.vnetName + " already present");
            continue;
        }
        if ((l.state != EndState::Missing && !deleteSurvivor(l, local)) ||
            (r.state != EndState::Missing && !deleteSurvivor(r, remote))) {
            continue;
        }
        createEnd(*l.client, local, "local");
        createEnd(*r.client, remote, "remote");
    }
}

}  // namespace dm::arm

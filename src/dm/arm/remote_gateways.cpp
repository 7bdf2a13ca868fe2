// Remote-gateway use in a spoke's native peerings: turned off before the switch takes the
// traffic, put back on revert. Only the local end of each peering is touched, and updates are
// started and not waited on; their outcome is checked later (started_updates.hpp).

#include <optional>
#include <string>

#include "core/error.hpp"
#include "core/resource_id.hpp"
#include "core/text.hpp"
#include "dm/arm/cutoverlib.hpp"
#include "dm/arm/kept_listings.hpp"
#include "dm/arm/library_log.hpp"
#include "dm/arm/peering_snapshot.hpp"
#include "dm/arm/started_updates.hpp"
#include "services/vwan/vwan_mgmt.hpp"

namespace dm::arm {

namespace {

const Record& requiredKey(const Record& record, const char* key) {
    if (!record.is_object() || !record.contains(key)) {
        throw Error(std::string("peering property record without \"") + key + "\"");
    }
    return record[key];
}

std::string requiredText(const Record& record, const char* key) {
    const Record& value = requiredKey(record, key);
    if (!value.is_string()) {
        throw Error(std::string("peering property record: \"") + key + "\" is not a text");
    }
    return value.get<std::string>();
}

}  // namespace

Record SwitchTraffic::disableUseRemoteGwInPeering(
    const std::string& subscriptionId, const NetworkManagementClient& local_network_client,
    const VirtualNetwork& vnet, const std::optional<std::string>& exclude, Record* recordAhead) {
    auto log = libraryLogger();
    Record peeringPropList = Record::array();
    const std::string resourceGroup = resourceGroupOf(vnet.id());
    log->info("- Disable use_remote_gateways in peerings");

    const auto peerings = vnet.virtual_network_peerings();
    if (peerings.empty()) {
        log->info("  No peering found");
        return peeringPropList;
    }
    for (const auto& entry : peerings) {
        const std::string name = entry.name();
        if (exclude && text::startsWith(name, *exclude)) {
            log->info("  controller created peering " + name + " -- skipped");
            continue;
        }
        // The hub's side of a hub connection is managed by the hub, not by us.
        if (!VWanMgmt::getVHubNameFromPeering(entry.remote_virtual_network().value_or(""))
                 .empty()) {
            log->info("  virtual hub connection " + name + " -- skipped");
            continue;
        }
        try {
            VirtualNetworkPeering peering =
                local_network_client.virtual_network_peerings.get(resourceGroup, vnet.name(), name);
            if (peering.use_remote_gateways() != true)
                continue;
            log->info("  disable use_remote_gateways in peering " + name);
            Record property{{"localSubscriptionId", subscriptionId},
                            {"localRgName", resourceGroup},
                            {"localVnetName", vnet.name()},
                            {"localPeeringName", name},
                            {"localPeering", peeringSnapshot(peering)}};
            peering.set_use_remote_gateways(false);
            if (!DryRun) {
                // Recorded before it is sent; a refusal throws here and takes it back.
                if (recordAhead)
                    recordAhead->push_back(property);
                try {
                    keptListings().peeringWritten(local_network_client.subscriptionId(),
                                                  resourceGroup, vnet.name());
                    auto started =
                        local_network_client.virtual_network_peerings.begin_create_or_update(
                            resourceGroup, vnet.name(), name, peering);
                    noteStartedUpdate("use_remote_gateways update of peering " + name,
                                      [started]() mutable { started.result(); });
                } catch (...) {
                    if (recordAhead)
                        recordAhead->erase(recordAhead->end() - 1);
                    throw;
                }
            }
            peeringPropList.push_back(std::move(property));
        } catch (const std::exception& e) {
            log->warn(std::string("  **Alert** ") + e.what());
        }
    }
    return peeringPropList;
}

// Sets use_remote_gateways back to the stored value on each listed peering; a peering that
// cannot be read or updated is reported as an Alert and keeps its current flag.
void SwitchTraffic::restoreUseRemoteGwInPeering(const NetworkManagementClient& local_network_client,
                                                const Record& peeringPropList) {
    auto log = libraryLogger();
    log->info("- Restore use_remote_gateways in peering");
    if (!peeringPropList.is_array() || peeringPropList.empty()) {
        log->info("  no peering needs to be restored");
        return;
    }
    for (const auto& record : peeringPropList) {
        try {
            // A broken record is reported like a failed peering so that the others still get
            // restored.
            const std::string resourceGroup = requiredText(record, "localRgName");
            const std::string peeringName = requiredText(record, "localPeeringName");
            const std::string vnetName = requiredText(record, "localVnetName");
            const Record& flagValue =
                requiredKey(requiredKey(record, "localPeering"), "use_remote_gateways");
            if (!flagValue.is_boolean()) {
                throw Error("peering property record of " + peeringName +
                            ": \"use_remote_gateways\" is not a boolean");
            }
            const bool flag = flagValue.get<bool>();

            VirtualNetworkPeering peering = local_network_client.virtual_network_peerings.get(
                resourceGroup, vnetName, peeringName);
            if (peering.use_remote_gateways().value_or(false) == flag) {
                // A revert run again after it restored this peering.
                log->info(std::string("  use_remote_gateways already ") + pyBool(flag) + " in " +
                          peeringName);
                continue;
            }
            log->info(std::string("  set use_remote_gateways to ") + pyBool(flag) + " in " +
                      peeringName);
            peering.set_use_remote_gateways(flag);
            if (!DryRun) {
                keptListings().peeringWritten(local_network_client.subscriptionId(), resourceGroup,
                                              vnetName);
                auto started = local_network_client.virtual_network_peerings.begin_create_or_update(
                    resourceGroup, vnetName, peeringName, peering);
                noteStartedUpdate("use_remote_gateways update of peering " + peeringName,
                                  [started]() mutable { started.result(); });
            }
        } catch (const std::exception& e) {
            log->warn(std::string("  **Alert** ") + e.what());
        }
    }
}

}  // namespace dm::arm

// Remote-gateway use in a spoke's native peerings: turned off before the switch takes the
// traffic, put back on revert. Only the local end of each peering is touched, and updates are
// started and not waited on.

#include <optional>
#include <string>

#include "core/error.hpp"
#include "core/resource_id.hpp"
#include "core/text.hpp"
#include "dm/arm/cutoverlib.hpp"
#include "dm/arm/library_log.hpp"
#include "dm/arm/peering_snapshot.hpp"
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
    const VirtualNetwork& vnet, const std::optional<std::string>& exclude) {
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
            Record snapshot = peeringSnapshot(peering);
            peering.set_use_remote_gateways(false);
            if (!DryRun) {
                // Started, not waited on; a refusal throws here and keeps it off the list.
                local_network_client.virtual_network_peerings.begin_create_or_update(
                    resourceGroup, vnet.name(), name, peering);
            }
            peeringPropList.push_back(Record{{"localSubscriptionId", subscriptionId},
                                             {"localRgName", resourceGroup},
                                             {"localVnetName", vnet.name()},
                                             {"localPeeringName", name},
                                             {"localPeering", std::move(snapshot)}});
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
            log->info(std::string("  set use_remote_gateways to ") + pyBool(flag) + " in " +
                      peeringName);
            peering.set_use_remote_gateways(flag);
            if (!DryRun) {
                // Started, not waited on.
                local_network_client.virtual_network_peerings.begin_create_or_update(
                    resourceGroup, vnetName, peeringName, peering);
            }
        } catch (const std::exception& e) {
            log->warn(std::string("  **Alert** ") + e.what());
        }
    }
}

}  // namespace dm::arm

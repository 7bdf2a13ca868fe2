// VNet lock removal ahead of the changes the switch makes to a VNet and its peerings. A removed
// lock is not recorded; a revert does not put it back.

#include <optional>
#include <string>

#include "core/resource_id.hpp"
#include "dm/arm/cutoverlib.hpp"
#include "dm/arm/library_log.hpp"
#include "platform/azure/lock_client.hpp"

namespace dm::arm {

namespace {

constexpr const char* kProvider = "Microsoft.Network";
constexpr const char* kParentPath = "";
constexpr const char* kResourceType = "virtualNetworks";

}  // namespace

void SwitchTraffic::deleteVnetLock(const std::optional<AzureCredential>& cred,
                                   const std::optional<VirtualNetwork>& vnet, int indent) {
    // Callers pass what a lookup gave them; nothing found means nothing to unlock.
    if (!cred || !vnet)
        return;
    auto log = libraryLogger();
    const std::string prefix(indent > 0 ? static_cast<size_t>(indent) : 0, ' ');
    log->info(prefix + "- Delete vnet lock in " + vnet->name());
    const std::string resourceGroup = resourceGroupOf(vnet->id());
    try {
        // Making the client and listing are guarded as well: a lock that stays is reported and
        // the caller goes on, whatever stopped its removal.
        const azure::ManagementLockClient client(cred->getSPC(), cred->getSubId());
        const auto locks = client.management_locks.list_at_resource_level(
            resourceGroup, kProvider, kParentPath, kResourceType, vnet->name());
        if (locks.empty()) {
            log->info(prefix + "  no vnet lock found");
            return;
        }
        // Only the first lock: the others stay where they are.
        const std::string lockName = locks.front().name();
        log->info(prefix + "  delete lock " + lockName);
        if (!DryRun) {
            client.management_locks.delete_at_resource_level(resourceGroup, kProvider, kParentPath,
                                                             kResourceType, vnet->name(), lockName);
        }
    } catch (const std::exception& e) {
        log->error(prefix + "  **Error** " + e.what());
    }
}

void SwitchTraffic::deleteVnetLock(const std::optional<AzureCredential>& cred,
                                   const azure::ListItem<VirtualNetwork>& vnet, int indent) {
    // The removal reads the VNet's name and id only, so their reference record serves.
    deleteVnetLock(cred, VirtualNetwork(Record{{"id", vnet.id()}, {"name", vnet.name()}}), indent);
}

}  // namespace dm::arm

// Gateway route propagation on the VNet's staged route tables. Updates are started and not
// waited on: the tables settle while the pipeline goes on, and their outcome is checked later
// (started_updates.hpp).

#include <optional>
#include <string>
#include <vector>

#include "core/error.hpp"
#include "core/resource_id.hpp"
#include "dm/arm/cutoverlib.hpp"
#include "dm/arm/library_log.hpp"
#include "dm/arm/started_updates.hpp"
#include "platform/azure/errors.hpp"

namespace dm::arm {

namespace {

std::string propagationLine(bool disable, const std::string& rtbName) {
    return std::string(disable ? "  disable" : "  enable") + " propagate-gateway-route in " +
           rtbName;
}

// A text field every route-table property record holds; its absence is a broken list.
std::string requiredText(const Record& record, const char* key) {
    auto value = lookup(record, key);
    if (!value || !value->is_string()) {
        throw Error(std::string("route-table property record without \"") + key +
                    "\": " + record.dump());
    }
    return value->get<std::string>();
}

// Starts the update and keeps it for the later check.
void startUpdate(const NetworkManagementClient& client, const std::string& resourceGroup,
                 const std::string& rtbName, const RouteTable& table) {
    auto started = client.route_tables.begin_create_or_update(resourceGroup, rtbName, table);
    noteStartedUpdate("propagate-gateway-route update of " + rtbName,
                      [started]() mutable { started.result(); });
}

// A table that is not there is an Alert, as before; a refusal is an error that says so.
void reportFailure(const std::string& rtbName, const std::exception& e) {
    auto log = libraryLogger();
    auto arm = dynamic_cast<const azure::ArmError*>(&e);
    if (arm && arm->status() != 404) {
        log->error("  **Error** Failed to update propagate-gateway-route in " + rtbName + " -" +
                   e.what());
        return;
    }
    log->info("  **Alert** " + rtbName + " not found");
    log->debug(std::string("  **Alert** ") + e.what());
}

}  // namespace

std::optional<Record> SwitchTraffic::setDisableRouteTablePropagation(
    const NetworkManagementClient& network_client, const VirtualNetwork& vnet,
    const std::string& rtbName, bool disableFlag) {
    auto log = libraryLogger();
    // Staged tables live in the VNet's own resource group; elsewhere they count as not found.
    const std::string rgName = resourceGroupOf(vnet.id());
    try {
        RouteTable table = network_client.route_tables.get(rgName, rtbName);
        // Azure leaves propagation on unless the flag says otherwise.
        if (table.disable_bgp_route_propagation().value_or(false) == disableFlag) {
            return std::nullopt;
        }
        table.set_disable_bgp_route_propagation(disableFlag);
        log->info(propagationLine(disableFlag, rtbName));
        if (!DryRun)
            startUpdate(network_client, rgName, rtbName, table);
        return Record{{"vnet", vnet.name()},
                      {"resource_group", rgName},
                      {"route_table_name", rtbName},
                      {"disable_bgp_route_propagation", !disableFlag}};
    } catch (const std::exception& e) {
        reportFailure(rtbName, e);
        return std::nullopt;
    }
}

Record SwitchTraffic::setDisableAllRouteTablePropagationInVnet(
    const CommandOptions& args, const NetworkManagementClient& network_client,
    const VirtualNetwork& vnet, const std::vector<std::string>& stagedUdrLst,
    const Record& rtb_target_rtb_map, bool disableFlag) {
    auto log = libraryLogger();
    log->info(disableFlag ? "- Disable propagate-gateway-route in UDR route table"
                          : "- Enable propagate-gateway-route in UDR route table");
    Record route_table_prop = Record::array();
    const std::string resourceGroup = resourceGroupOf(vnet.id());

    auto handle = [&](const std::string& table) {
        if (auto changed =
                setDisableRouteTablePropagation(network_client, vnet, table, disableFlag)) {
            route_table_prop.push_back(std::move(*changed));
        }
    };

    // The main tables are named after the VNet itself, and only handled when staged.
    for (const char* suffix : {"-main-1", "-main-2"}) {
        const std::string name = vnet.name() + suffix;
        for (const auto& entry : stagedUdrLst) {
            if (entry == name + ":" + resourceGroup) {
                handle(name);
                break;
            }
        }
    }
    // Forward maps go original -> new, revert maps new -> original: either way the new table.
    if (rtb_target_rtb_map.is_object()) {
        for (const auto& [key, value] : rtb_target_rtb_map.items()) {
            handle(args.revert ? key : textForm(value));
        }
    }
    return route_table_prop;
}

// Puts each listed table's propagation flag back to its recorded former value; a table that
// cannot be read or updated is reported as not found and the others are still handled.
void SwitchTraffic::restoreRouteTablePropagationInVnet(
    const NetworkManagementClient& network_client, const Record& rtbPropList) {
    auto log = libraryLogger();
    log->info("- Restore propagate-gateway-route in UDR route table");
    if (!rtbPropList.is_array())
        return;
    for (const auto& record : rtbPropList) {
        const std::string resourceGroup = requiredText(record, "resource_group");
        const std::string name = requiredText(record, "route_table_name");
        // Each table goes back to the value it had before the change: always enabling would
        // undo a table whose propagation was already disabled before the switch.
        auto before = lookup(record, "disable_bgp_route_propagation");
        const bool disable = before && before->is_boolean() && before->get<bool>();
        try {
            RouteTable table = network_client.route_tables.get(resourceGroup, name);
            table.set_disable_bgp_route_propagation(disable);
            log->info(propagationLine(disable, name));
            if (!DryRun)
                startUpdate(network_client, resourceGroup, name, table);
        } catch (const std::exception& e) {
            reportFailure(name, e);
        }
    }
}

}  // namespace dm::arm

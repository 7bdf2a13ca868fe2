// Subnet re-association: the step that actually moves a VNet's traffic, one subnet at a time.

#include <algorithm>
#include <optional>
#include <string>

#include "core/error.hpp"
#include "core/resource_id.hpp"
#include "core/text.hpp"
#include "dm/arm/cutoverlib.hpp"
#include "dm/arm/library_log.hpp"
#include "services/common/common.hpp"
#include "services/common/discoverylib.hpp"
#include "services/common/yaml_context.hpp"
#include "services/terraform/terraform.hpp"

namespace dm::arm {

namespace {

bool isAzureSubnet(const std::string& subnetName) {
    const auto& reserved = Common::AZURE_SUBNET;
    return std::find(reserved.begin(), reserved.end(), subnetName) != reserved.end();
}

// A key every caller's option record holds; its absence is a broken record, not a choice.
const Record& requiredOption(const Record& yaml, const std::string& key) {
    if (!yaml.is_object() || !yaml.contains(key)) {
        throw Error("the VNet option record has no \"" + key + "\"");
    }
    return yaml[key];
}

// Terraform resource names cannot hold dots.
std::string terraformName(std::string name) {
    std::replace(name.begin(), name.end(), '.', '_');
    return name;
}

// True when `name` is among "subnet_in_subnet_groups" (a list of names, or a map keyed by them).
bool inSubnetGroups(const Record& groups, const std::string& name) {
    if (groups.is_object())
        return groups.contains(name);
    if (!groups.is_array())
        return false;
    return std::any_of(groups.begin(), groups.end(), [&](const Record& item) {
        return item.is_string() && item.get<std::string>() == name;
    });
}

bool replicationConfigured() {
    const Record value = YamlContext().getGlobalContext("configure_shared_route_table_replication");
    return value.is_number() && value.get<double>() > 0;
}

enum class Replication { Found, KeepMapped, NoVnetInfo };

// Looks the subnet up in discovery.json's "rtbSubnetGwGroupInfos"; sets `tableName` to the
// table the record names when one matches. Throws when the VNet's entry lacks `rtbName`.
Replication replicatedTable(const VirtualNetwork& vnet, const std::string& rtbName,
                            const std::string& subnetName, std::string& tableName) {
    const Record info = Terraform::readDiscoveryInfo();
    auto groups = lookup(info, "rtbSubnetGwGroupInfos");
    if (!groups)
        throw Error("discovery.json has no \"rtbSubnetGwGroupInfos\"");
    auto perVnet = lookup(*groups, vnet.id());
    if (!perVnet)
        return Replication::NoVnetInfo;
    auto records = lookup(*perVnet, rtbName);
    if (!records || !records->is_array()) {
        throw Error("discovery.json has no route table " + rtbName + " for " + vnet.id());
    }
    for (const auto& record : *records) {
        auto subnetId = lookup(record, "subnetId");
        if (subnetId && subnetId->is_string() && subnetId->get<std::string>() == subnetName) {
            auto rtb = lookup(record, "rtbName");
            if (!rtb)
                throw Error("discovery.json names no rtbName for subnet " + subnetName);
            tableName = textForm(*rtb);
            return Replication::Found;
        }
    }
    return Replication::KeepMapped;
}

// True when `rtbName` is one of the original tables a revert map leads back to.
bool isOriginalTable(const Record& revertMap, const std::string& rtbName) {
    if (!revertMap.is_object())
        return false;
    return std::any_of(revertMap.begin(), revertMap.end(),
                       [&](const Record& value) { return textForm(value) == rtbName; });
}

}  // namespace

void SwitchTraffic::updateSubnetAssociation(const Record& yaml, bool revert,
                                            const NetworkManagementClient& network_client,
                                            const VirtualNetwork& vnet,
                                            const Record& rtb_target_rtb_map,
                                            const RouteTableInfo& orgRouteTableInfo) {
    auto log = libraryLogger();
    log->info("- Switch subnet to route-table association");

    const std::string vnetName = vnet.name();
    const std::string rgName = resourceGroupOf(vnet.id());
    auto subnets = azure::resources(network_client.subnets.list(rgName, vnetName));

    int mainCounter = 0;
    std::optional<std::string> defaultRtbName;
    std::optional<RouteTable> defaultRtb;
    const Record& defaultSuffix = requiredOption(yaml, "default_route_table");
    if (!defaultSuffix.is_null()) {
        defaultRtbName = vnetName + "-" + textForm(defaultSuffix);
        try {
            defaultRtb = network_client.route_tables.get(rgName, *defaultRtbName);
        } catch (const Error& e) {
            log->info("  **Alert** " + *defaultRtbName + " not found");
            log->debug(std::string("  **Alert** ") + e.what());
        }
    }
    const Record& subscriptionInfo = requiredOption(yaml, "subscriptionInfo");
    const std::string prefix = Common::getMainTablePrefix(vnetName).value_or(vnetName);

    auto mapped = [&](const std::string& rtbName) -> std::optional<std::string> {
        auto value = lookup(rtb_target_rtb_map, rtbName);
        if (!value)
            return std::nullopt;
        return textForm(*value);
    };

    // Records the Terraform association of a forward move; subnets in subnet groups get theirs
    // from the subnet-group configuration instead.
    auto recordAssociation = [&](const Subnet& subnet, const RouteTable& table,
                                 const std::string& tableRef) {
        const std::string subnetName = subnet.name();
        if (inSubnetGroups(requiredOption(yaml, "subnet_in_subnet_groups"), subnetName))
            return;
        auto alias = lookup(subscriptionInfo, "alias");
        if (!alias)
            throw Error("the subscription information of " + vnetName + " has no alias");
        const std::string subnetResourceName = terraformName(vnetName + "_" + subnetName);
        Record request = Record::object();
        request["vnet_name"] = vnetName;
        request["subnet_id"] = subnet.id();
        request["subnet_ref"] = "azurerm_subnet." + subnetResourceName + ".id";
        request["route_table_id"] = table.id();
        request["route_table_ref"] = tableRef;
        request["rname"] = terraformName(vnetName + "_" + subnetName + "_" + table.name());
        request["provider"] = *alias;
        Terraform::createSubnetAssociationTf(request);
    };

    // Sends the subnet with its new table (or none) and waits, so an interruption leaves every
    // earlier subnet switched and no later one touched.
    auto apply = [&](Subnet& subnet, const std::optional<RouteTable>& table) {
        if (table) {
            subnet.set_route_table(*table);
        } else {
            subnet.set_route_table(std::optional<std::string>());
        }
        if (DryRun)
            return;
        network_client.subnets.begin_create_or_update(rgName, vnetName, subnet.name(), subnet)
            .result();
    };

    for (auto& subnet : subnets) {
        const std::string subnetName = subnet.name();
        if (isAzureSubnet(subnetName)) {
            log->info("  found Azure " + subnetName + " -- skipped ");
            continue;
        }
        const std::optional<std::string> rtbId = subnet.route_table();

        if (!revert) {
            const bool notAssociated =
                !rtbId || (defaultRtbName && resourceName(*rtbId) == *defaultRtbName);
            if (notAssociated) {
                const Record& migrate = requiredOption(yaml, "migrate_non_associated_subnet");
                if (migrate.is_boolean() && !migrate.get<bool>()) {
                    log->info("  subnet " + subnetName +
                              " without route table association -- skipped");
                    continue;
                }
                const int index = mainCounter % 2;
                const std::string tableName = prefix + "-main-" + std::to_string(index + 1);
                const std::string tableRef = "module." + vnetName +
                                             ".azurerm_route_table_telvane_managed_main[" +
                                             std::to_string(index) + "].id";
                ++mainCounter;
                RouteTable table;
                try {
                    table = network_client.route_tables.get(rgName, tableName);
                } catch (const Error& e) {
                    // Without its main table the VNet cannot be switched consistently: stop here.
                    log->error(std::string("  **Error** ") + e.what());
                    return;
                }
                log->info("  associate " + subnetName + " to " + tableName);
                recordAssociation(subnet, table, tableRef);
                apply(subnet, table);
                continue;
            }

            if (DiscoveryLib::isTelvaneSpokeSubnet(subnetName)) {
                log->info("  spoke gw subnet " + subnetName + " -- skipped");
                continue;
            }
            const std::string rtbName = resourceName(*rtbId);
            auto target = mapped(rtbName);
            if (!target) {
                log->warn("  **Alert** " + subnetName + " associated to " + rtbName +
                          " not copied -- skipped");
                continue;
            }
            std::string tableName = *target;
            if (replicationConfigured() &&
                replicatedTable(vnet, rtbName, subnetName, tableName) == Replication::NoVnetInfo) {
                log->error("  fail to reassociate " + subnetName + " - no " + vnet.toString() +
                           " info found in discovery.json");
                continue;
            }
            RouteTable table = network_client.route_tables.get(rgName, tableName);
            log->info("  switch " + subnetName + " from " + rtbName + " to " + tableName);
            recordAssociation(subnet, table,
                              "module." + vnetName + ".azurerm_route_table_telvane_managed[\"" +
                                  tableName + "\"].id");
            apply(subnet, table);
            continue;
        }

        // Revert.
        if (!rtbId) {
            log->warn("  **Alert** Subnet " + subnetName +
                      " without route table detected during revert traffic -- skipped");
            continue;
        }
        const std::string rtbName = resourceName(*rtbId);
        // Before the spoke-gateway test: the switch moves a spoke-gateway subnet that had no
        // table onto a main table too, and this brings it back.
        if (text::startsWith(rtbName, prefix + "-main-")) {
            if (defaultRtb) {
                log->info("  re-associate " + subnetName + " from " + rtbName + " to " +
                          *defaultRtbName);
            } else {
                log->info("  re-associate " + subnetName + " from " + rtbName + " to None");
            }
            apply(subnet, defaultRtb);
            continue;
        }
        if (DiscoveryLib::isTelvaneSpokeSubnet(subnetName)) {
            log->info("  spoke gw subnet " + subnetName + " -- skipped");
            continue;
        }
        auto target = mapped(rtbName);
        if (!target && isOriginalTable(rtb_target_rtb_map, rtbName)) {
            // A revert run again after it moved this subnet back.
            log->info("  subnet " + subnetName + " already on " + rtbName);
            continue;
        }
        if (!target) {
            log->warn("  **Alert** " + subnetName + " is using a route table " + rtbName +
                      " that has not been copied -- skipped");
            continue;
        }
        const std::string& tableName = *target;
        auto org = orgRouteTableInfo.find(tableName);
        if (org == orgRouteTableInfo.end()) {
            log->warn("  **Alert** " + tableName + " region info not found -- skipped");
            continue;
        }
        RouteTable table;
        try {
            table = network_client.route_tables.get(resourceGroupOf(org->second.id()), tableName);
        } catch (const Error& e) {
            log->error(std::string("  **Error** ") + e.what());
            continue;
        }
        log->info("  switch " + subnetName + " from " + rtbName + " to " + tableName);
        apply(subnet, table);
    }

    discoverSubnets(network_client, vnet);
}

}  // namespace dm::arm

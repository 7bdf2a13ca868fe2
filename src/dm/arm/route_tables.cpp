// Route-table discovery: which staged tables replace which original ones, found from the tags
// that the staging step wrote on the new tables.

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/error.hpp"
#include "core/resource_id.hpp"
#include "core/text.hpp"
#include "dm/arm/cutoverlib.hpp"
#include "dm/arm/kept_listings.hpp"
#include "dm/arm/library_log.hpp"
#include "services/common/common.hpp"
#include "services/common/discoverylib.hpp"

namespace dm::arm {

namespace {

constexpr const char* kVnetTag = "vnet";
constexpr const char* kOrgRtTag = "Org_RT";
constexpr const char* kOrgPrefix = "org_";

// "<table name>:<resource group>", the form the controller takes route tables in.
template <class Table>
std::string stagedEntry(const Table& rtb) {
    return rtb.name() + ":" + resourceGroupOf(rtb.id());
}

// The value of the first "Org_RT" tag, or nullopt when the table carries none.
std::optional<std::string> orgRtTag(const Record& tags) {
    auto value = lookup(tags, kOrgRtTag);
    if (!value)
        return std::nullopt;
    return textForm(*value);
}

// A table's name: viewed in the listing for a listed one, copied from a record.
std::string_view nameOf(const azure::ListedResource& rtb) {
    return rtb.nameView();
}

std::string nameOf(const RouteTable& rtb) {
    return rtb.name();
}

// The VNet's two main tables, worked out once: discovery asks this of every table in the
// subscription.
class MainTables {
  public:
    explicit MainTables(const VirtualNetwork& vnet)
        : resourceGroup_(resourceGroupOf(vnet.id())),
          main1_(Common::getMainTablePrefix(vnet.name()).value_or(vnet.name()) + "-main-1"),
          main2_(Common::getMainTablePrefix(vnet.name()).value_or(vnet.name()) + "-main-2") {}

    template <class Table>
    bool contains(const Table& rtb) const {
        const auto& name = nameOf(rtb);
        return (name == main1_ || name == main2_) && resourceGroupOf(rtb.id()) == resourceGroup_;
    }

  private:
    std::string resourceGroup_;
    std::string main1_;
    std::string main2_;
};

bool isAzureSubnet(const std::string& subnetName) {
    const auto& reserved = Common::AZURE_SUBNET;
    return std::find(reserved.begin(), reserved.end(), subnetName) != reserved.end();
}

}  // namespace

std::vector<std::string> SwitchTraffic::discoverVpcCidr(const VirtualNetwork& vnet,
                                                        const Record& yaml) {
    auto allowed = lookup(yaml, "allow_vnet_cidrs");
    if (!allowed)
        throw Error("the option record of VNet " + vnet.name() + " has no \"allow_vnet_cidrs\"");
    const std::vector<IpNetwork> networks = Common::toNetworks(*allowed);
    std::vector<std::string> selected;
    for (const auto& prefix : vnet.address_prefixes()) {
        if (isExpectedVpcPrefix(prefix, networks))
            selected.push_back(prefix);
    }
    return selected;
}

void SwitchTraffic::discoverSubnetAssociation(const RouteTable& rtb, std::vector<Subnet>& assocs) {
    auto refs = rtb.subnets();
    if (!refs)
        return;
    assocs.insert(assocs.end(), refs->begin(), refs->end());
}

bool SwitchTraffic::isMainRtb(const VirtualNetwork& vnet, const RouteTable& rtb) {
    return MainTables(vnet).contains(rtb);
}

std::pair<std::vector<std::string>, RouteTableInfo> SwitchTraffic::discoverRouteTable(
    const NetworkManagementClient& network_client, bool revert, const VirtualNetwork& vnet,
    Record& rtb_target_rtb_map) {
    auto log = libraryLogger();
    const auto kept = keptListings().routeTables(network_client);
    const auto& tables = *kept;
    // Originals are found by name over the whole subscription; a later duplicate wins.
    auto original = [&](std::string_view name) -> const azure::ListItem<RouteTable>* {
        for (auto table = tables.rbegin(); table != tables.rend(); ++table) {
            if (table->nameView() == name)
                return &*table;
        }
        return nullptr;
    };

    std::vector<std::string> stagedUdrLst;
    RouteTableInfo orgRouteTableInfo;
    if (!rtb_target_rtb_map.is_object())
        rtb_target_rtb_map = Record::object();

    const MainTables mainTables(vnet);
    const std::string vnetName = vnet.name();
    for (const auto& table : tables) {
        if (mainTables.contains(table)) {
            stagedUdrLst.push_back(stagedEntry(table));
            continue;
        }
        // Only tables whose "vnet" tag names exactly this VNet; most belong to others.
        if (table.tagView(kVnetTag) != vnetName)
            continue;
        auto orgValue = orgRtTag(table.tags());
        if (!orgValue)
            continue;
        if (!text::startsWith(*orgValue, kOrgPrefix)) {
            log->warn(
                "  **Alert** cannot find org_<routeTableId> in the Org_RT tag of new route "
                "table " +
                table.id());
            continue;
        }
        const std::string orgName = orgValue->substr(4);

        if (!revert) {
            // Forward: only originals the VNet's subnets actually use get a replacement.
            const auto* org = original(orgName);
            if (!org || !DiscoveryLib::isRouteTableUsedInVnet(org->resource(), vnet))
                continue;
            rtb_target_rtb_map[orgName] = table.name();
            stagedUdrLst.push_back(stagedEntry(table));
        } else {
            // Revert: after a switch the subnets use the new tables, so test those.
            if (!DiscoveryLib::isRouteTableUsedInVnet(table.resource(), vnet))
                continue;
            rtb_target_rtb_map[table.name()] = orgName;
            if (orgRouteTableInfo.count(orgName) == 0) {
                const auto* org = original(orgName);
                if (!org) {
                    throw Error("original route table " + orgName + " named in the Org_RT tag of " +
                                table.id() + " not found");
                }
                orgRouteTableInfo.emplace(orgName, org->resource());
            }
            stagedUdrLst.push_back(stagedEntry(table));
        }
    }
    return {stagedUdrLst, orgRouteTableInfo};
}

void SwitchTraffic::discoverSubnets(const NetworkManagementClient& network_client,
                                    const VirtualNetwork& vnet) {
    auto log = libraryLogger();
    log->info("- Discover subnet to route-table association");
    const auto subnets = network_client.subnets.list(resourceGroupOf(vnet.id()), vnet.name());
    for (const auto& subnet : subnets) {
        const std::string name = subnet.name();
        if (isAzureSubnet(name)) {
            log->info("  found Azure " + name + " -- skipped ");
        } else if (auto rtbId = subnet.route_table(); !rtbId) {
            log->info("  subnet " + name + " has no route table");
        } else {
            log->info("  subnet " + name + " is associated to " + resourceName(*rtbId));
        }
    }
}

}  // namespace dm::arm

#include "dm/arm/vnet_pipeline.hpp"

#include <algorithm>

#include <spdlog/spdlog.h>

#include "core/text.hpp"
#include "dm/arm/parallel_vnets.hpp"
#include "services/common/common.hpp"
#include "services/common/config_check.hpp"
#include "services/telvane/telvane.hpp"
#include "services/terraform/revert_journal.hpp"

namespace dm::arm {

bool isTrue(const Record& value) {
    return value.is_boolean() && value.get<bool>();
}

namespace {
std::shared_ptr<spdlog::logger> driverLog() {
    return spdlog::get("dm");
}
}  // namespace

void prepareOptions(VnetRun& v, const Record& vnetMap) {
    // A deep copy per VNet, kept in the run so that services read it as Globals::yaml().
    v.optionRecord = v.account.accountRecord;
    Common::readVnetOption(vnetMap, v.vnet.name(), v.optionRecord);
    v.vnetKey = v.account.subscriptionId + ":" + v.vnet.name();
}

void chooseGatewayNames(VnetRun& v) {
    const std::string where = "vnets[" + v.vnet.name() + "].";
    if (isTrue(config::requireKey(v.optionRecord, "configure_gw_name", "options."))) {
        v.gwName = textForm(config::requireKey(v.entry, "spoke_gw_name", where));
        v.transitName = textForm(config::requireKey(v.entry, "transit_gw_name", where));
        return;
    }
    const std::string location = v.vnet.location().value_or("");
    v.gwName = SwitchTraffic::deduceGwNameWithSubnetCidr(
        location, textForm(config::requireKey(v.entry, "tlvx_cidr", where)));
    v.transitName = SwitchTraffic::deduceTransitNameWithRegion(location);
}

namespace {

// The staged tables and the staged -> original map, found now or noted by an earlier run: a
// revert resumed after it moved the subnets back no longer finds the staged tables through them,
// and still has their propagation to restore.
void noteRouting(VnetRun& v) {
    const bool forward = !v.run.options.revert || v.routingAsSwitch;
    Record map = Record::object();
    for (const auto& [from, to] : v.rtbTargetRtbMap.items()) {
        if (forward)
            map[textForm(to)] = from;
        else
            map[from] = to;
    }
    if (v.notedRouting && v.notedRouting->is_object()) {
        if (auto noted = v.notedRouting->find("map");
            noted != v.notedRouting->end() && noted->is_object()) {
            for (const auto& [staged, original] : noted->items()) {
                if (!map.contains(staged))
                    map[staged] = original;
                if (!forward && !v.rtbTargetRtbMap.contains(staged))
                    v.rtbTargetRtbMap[staged] = original;
            }
        }
        if (auto noted = v.notedRouting->find("staged");
            noted != v.notedRouting->end() && noted->is_array()) {
            for (const auto& entry : *noted) {
                const std::string name = textForm(entry);
                if (std::find(v.stagedUdrLst.begin(), v.stagedUdrLst.end(), name) ==
                    v.stagedUdrLst.end())
                    v.stagedUdrLst.push_back(name);
            }
        }
    }
    RevertJournal::noteRouting(Record{{"staged", v.stagedUdrLst}, {"map", std::move(map)}});
}

}  // namespace

void discoverRouting(VnetRun& v) {
    v.rtbTargetRtbMap = Record::object();
    auto [staged, orgInfo] = SwitchTraffic::discoverRouteTable(
        v.client, v.run.options.revert && !v.routingAsSwitch, v.vnet, v.rtbTargetRtbMap);
    v.stagedUdrLst = std::move(staged);
    v.orgRouteTableInfo = std::move(orgInfo);
    noteRouting(v);
    v.vpn = SwitchTraffic::isVnetWithVng(*v.account.credential, v.vnet, SwitchTraffic::VPN);
}

void refuseUnsafeNames(const VnetRun& v) {
    std::vector<std::string> refused;
    // The controller takes route tables as one comma-separated list.
    auto check = [&refused](const char* kind, const std::string& name, bool listItem = false) {
        if (name.empty() || !text::isSafePathName(name) ||
            (listItem && name.find(',') != std::string::npos))
            refused.push_back(std::string(kind) + " \"" + text::escapeControl(name) + "\"");
    };
    check("VNet", v.vnet.name());
    check("spoke gateway", v.gwName);
    check("transit gateway", v.transitName);
    for (const auto& subnet : v.vnet.subnets())
        check("subnet", subnet.name());
    for (const auto& table : v.stagedUdrLst)
        check("route table", table, true);
    if (!refused.empty()) {
        throw Error("VNet " + text::escapeControl(v.vnet.name()) +
                    " is left unchanged, as these names cannot be used (empty, \".\" or \"..\", "
                    "or holding \"/\", \"\\\", a control character or, in a route table, \",\"): " +
                    text::join(refused, ", "));
    }
}

void setPropagation(VnetRun& v, bool disableFlag) {
    const Record& manage =
        config::requireKey(v.run.globalRecord, "manage_propagate_gateway_routes", "");
    if (isTrue(manage) && !v.vpn) {
        CommandOptions options = v.run.options;
        options.revert = options.revert && !v.routingAsSwitch;
        SwitchTraffic::setDisableAllRouteTablePropagationInVnet(
            options, v.client, v.vnet, v.stagedUdrLst, v.rtbTargetRtbMap, disableFlag);
    }
}

void removeLocks(VnetRun& v) {
    if (!isTrue(config::requireKey(v.optionRecord, "delete_vnet_lock", "options.")))
        return;
    // Every VNet removes the transit VNet's lock and only the first finds it: VNets in flight at
    // once take this step in listing order, so the same VNet does.
    TurnOrder::Turn turn(v.turns, v.slot);
    SwitchTraffic::deleteVnetLock(v.account.credential, v.vnet);
    auto [transitCred, transitVnet] =
        SwitchTraffic::getTransitVnet(v.run.apiEndpointUrl, v.run.cid, v.transitName);
    if (transitCred)
        SwitchTraffic::deleteVnetLock(transitCred, transitVnet);
}

void detachSpokeGateway(VnetRun& v) {
    auto log = driverLog();
    auto attached = Telvane::list_attached_spoke(v.run.apiEndpointUrl, v.run.cid, v.transitName);
    if (!attached.count(v.gwName)) {
        log->info("- Spoke gateway " + v.gwName + " is not attached");
        return;
    }
    SwitchTraffic::attach_spoke_domain(false);
    log->info("- Detach " + v.gwName + " from " + v.transitName);
    if (!v.run.dryRun.active()) {
        Telvane::detach_spoke_from_transit_gw(v.run.apiEndpointUrl, v.run.cid, v.gwName,
                                              v.transitName);
    }
}

void attachSpokeGateway(VnetRun& v) {
    auto log = driverLog();
    log->info("- Attach " + v.gwName + " to " + v.transitName);
    const std::string routeTables = text::join(v.stagedUdrLst, ",");
    const bool subnetGroups =
        isTrue(config::requireKey(v.optionRecord, "configure_subnet_groups", "options."));
    const Record& maxHpe = config::requireKey(v.optionRecord, "max_hpe_performance", "options.");
    const bool noMaxPerformance = !subnetGroups && !maxHpe.is_null() && textForm(maxHpe) == "false";
    // The detail line is part of what a dry run shows, so it is logged in both.
    if (noMaxPerformance)
        log->info("  with max_hpe_performance False");
    if (!v.run.dryRun.active()) {
        const std::string& url = v.run.apiEndpointUrl;
        if (subnetGroups) {
            Telvane::attach_spoke_to_transit_gw(url, v.run.cid, v.gwName, v.transitName);
        } else if (noMaxPerformance) {
            Telvane::attach_spoke_to_transit_gw(url, v.run.cid, v.gwName, v.transitName,
                                                std::string("true"), routeTables);
        } else {
            Telvane::attach_spoke_to_transit_gw(url, v.run.cid, v.gwName, v.transitName,
                                                std::nullopt, routeTables);
        }
    }
    SwitchTraffic::attach_spoke_domain(true);
}

}  // namespace dm::arm

// The revert run of one VNet: restore from the revert record, then move everything back.
#include <spdlog/spdlog.h>

#include "core/text.hpp"
#include "dm/arm/vnet_pipeline.hpp"
#include "services/common/config_check.hpp"
#include "services/subnet_groups/subnet_groups.hpp"
#include "services/telvane/telvane.hpp"
#include "services/terraform/terraform.hpp"
#include "services/vwan/vwan_mgmt.hpp"

namespace dm::arm {
namespace {

// The entry of `section` for `key`, or null when the forward run recorded none.
// Read in place: a section holds every VNet of the account, too much to copy for each one.
const Record* recorded(const Record& revertRecord, const char* section, const std::string& key) {
    auto map = revertRecord.find(section);
    if (map == revertRecord.end())
        return nullptr;
    auto entry = map->find(key);
    return entry == map->end() ? nullptr : &*entry;
}

// The native paths the forward run removed, before the route tables are touched.
void restoreNativePaths(VnetRun& v) {
    if (auto pairs = recorded(v.revertRecord, "peerings", v.vnetKey)) {
        SwitchTraffic::addPeerings(*pairs);
    }
    if (auto hubs = recorded(v.revertRecord, "vhc_list", v.vnetKey)) {
        VWanMgmt::restoreVhcConnection(v.vnet, v.optionRecord, *hubs);
    }
    if (auto props = recorded(v.revertRecord, "peering_prop", v.vnetKey)) {
        SwitchTraffic::restoreUseRemoteGwInPeering(v.client, *props);
    }
    if (switchBegan(v, step::kImports)) {
        SubnetGroups::revert(v.vnet, v.optionRecord, v.gwName, v.transitName, v.run.apiBase,
                             v.run.cid);
    }
}

// Whether the controller, as read at the start of the run, shows the gateway advertising exactly
// `cidrs` (a revert run again after it restored them).
bool alreadyAdvertised(const VnetRun& v, const std::vector<std::string>& cidrs) {
    if (!v.run.spokeGwAdvCidr)
        return false;
    auto found = v.run.spokeGwAdvCidr->find(v.gwName);
    if (found == v.run.spokeGwAdvCidr->end() || !found->is_array())
        return false;
    std::vector<std::string> current;
    for (const auto& c : *found)
        current.push_back(textForm(c));
    return current == cidrs;
}

// The advertised CIDRs the gateway had before the switch (none when none recorded).
void restoreAdvertisedCidrs(VnetRun& v) {
    auto log = spdlog::get("dm");
    std::vector<std::string> cidrs;
    if (auto list = recorded(v.revertRecord, "gw_adv_cidr", v.gwName)) {
        for (const auto& c : *list)
            cidrs.push_back(textForm(c));
    }
    const std::string cidrText = text::join(cidrs, ",");
    if (cidrText.empty()) {
        log->info("- Revert " + v.gwName + " advertized cidrs to NO advertized cidr");
    } else {
        log->info("- Revert " + v.gwName + " advertized cidrs to " + cidrText);
    }
    if (v.run.dryRun.active() ||
        isTrue(config::requireKey(v.optionRecord, "configure_subnet_groups", "options."))) {
        return;
    }
    if (alreadyAdvertised(v, cidrs)) {
        log->debug("  " + v.gwName + " already advertises them");
        return;
    }
    try {
        Telvane::edit_gw_adv_cidr(v.run.apiEndpointUrl, v.run.cid, v.gwName, cidrText);
    } catch (const std::exception& e) {
        log->error("  **Error** Failed to configure " + v.gwName + " with advertized cidrs -" +
                   e.what());
    }
}

}  // namespace

void runRevertPipeline(VnetRun& v) {
    reportStep(v, "checks");
    chooseGatewayNames(v);
    refuseUnsafeNames(v);
    reportStep(v, "native paths");
    restoreNativePaths(v);
    v.routingAsSwitch = v.switchSteps && !switchBegan(v, step::kSubnets);
    reportStep(v, "routing discovery");
    discoverRouting(v);
    const bool propagation = switchBegan(v, step::kPropagation);
    const bool attachment = switchBegan(v, step::kDetach);
    reportStep(v, step::kPropagation);
    if (propagation)
        setPropagation(v, false);
    reportStep(v, step::kLocks);
    removeLocks(v);
    reportStep(v, step::kDetach);
    if (attachment)
        detachSpokeGateway(v);
    if (switchBegan(v, step::kTerraform)) {
        reportStep(v, step::kTerraform);
        Terraform::revertFile(v.vnet.name() + ".tf", v.revertRecord);
        Terraform::updateSwitchTraffic(v.vnet.name(), false);
    }
    if (switchBegan(v, step::kSubnets)) {
        reportStep(v, step::kSubnets);
        SwitchTraffic::updateSubnetAssociation(v.optionRecord, true, v.client, v.vnet,
                                               v.rtbTargetRtbMap, v.orgRouteTableInfo);
    }
    if (switchBegan(v, step::kAdvertise)) {
        reportStep(v, step::kAdvertise);
        restoreAdvertisedCidrs(v);
    }
    if (attachment &&
        isTrue(config::requireKey(v.optionRecord, "configure_staging_attachment", "options."))) {
        reportStep(v, "attach");
        attachSpokeGateway(v);
    }
    reportStep(v, "propagation on");
    if (propagation)
        setPropagation(v, true);
}

}  // namespace dm::arm

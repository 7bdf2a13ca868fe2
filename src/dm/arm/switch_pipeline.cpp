// The forward (switch) run of one VNet.
#include <algorithm>

#include <spdlog/spdlog.h>

#include "core/text.hpp"
#include "dm/arm/vnet_pipeline.hpp"
#include "services/common/common.hpp"
#include "services/common/config_check.hpp"
#include "services/subnet_groups/subnet_groups.hpp"
#include "services/telvane/telvane.hpp"
#include "services/terraform/revert_journal.hpp"
#include "services/terraform/terraform.hpp"
#include "services/vwan/vwan_mgmt.hpp"

namespace dm::arm {
namespace {

const char* kControllerPeeringPrefix = "tl-peer-";

// A VNet whose Terraform file is already marked was switched before.
bool alreadySwitched(VnetRun& v) {
    const std::string name = v.vnet.name();
    if (Common::isBeforeSwitchTraffic(v.account.targetLocation + "/" + name + ".tf"))
        return false;
    spdlog::get("dm")->error(
        "**Error** Cannot perform dm.arm.switch_traffic for " + name +
        " because the switch_traffic attribute is already set to true in " + name +
        ".tf and without a revert.json. Most likely this VNET has been migrated and "
        "dm.arm.cleanup has been done.");
    return true;
}

// Mark the VNet's Terraform file and note what restores it.
void markTerraformFile(VnetRun& v) {
    Terraform::updateSwitchTraffic(v.vnet.name(), true);
    Terraform::storeFileSize(v.vnet.name() + ".tf", v.revertRecord);
}

// Subnet groups and the Terraform import of the attachment.
void prepareImports(VnetRun& v) {
    SubnetGroups::configure(v.vnet, v.optionRecord, v.gwName, v.transitName, v.run.apiBase,
                            v.run.cid);
    if (isTrue(config::requireKey(v.optionRecord, "configure_staging_attachment", "options.")))
        return;
    Terraform::createImportAttachment(v.vnet.name(), v.gwName, v.transitName);
    const Record& domain = config::requireKey(v.optionRecord, "domain", "options.");
    const bool hasDomain = !domain.is_null() && !(domain.is_string() && domain.empty()) &&
                           !(domain.is_boolean() && !domain.get<bool>());
    if (hasDomain)
        Terraform::createDomainAssociation(v.vnet.name(), v.gwName, textForm(domain));
}

// The advertisement override: a non-empty text, or a list joined with ",".
std::optional<std::string> spokeAdvertisement(const Record& value) {
    if (value.is_null())
        return std::nullopt;
    if (value.is_array()) {
        if (value.empty())
            return std::nullopt;
        std::vector<std::string> parts;
        for (const auto& item : value)
            parts.push_back(textForm(item));
        return text::join(parts, ",");
    }
    std::string s = textForm(value);
    if (s.empty())
        return std::nullopt;
    return s;
}

// The spoke gateway's advertised CIDRs and the transit peer's check.
void advertiseCidrs(VnetRun& v) {
    if (isTrue(config::requireKey(v.optionRecord, "configure_subnet_groups", "options.")))
        return;
    auto log = spdlog::get("dm");
    std::vector<std::string> cidrs = SwitchTraffic::discoverVpcCidr(v.vnet, v.optionRecord);
    const std::string tlvx =
        textForm(config::requireKey(v.entry, "tlvx_cidr", "vnets[" + v.vnet.name() + "]."));
    if (!tlvx.empty() && std::find(cidrs.begin(), cidrs.end(), tlvx) == cidrs.end()) {
        cidrs.push_back(tlvx);
    }

    // The controller's map holds every spoke gateway: looked up in place, never copied per VNet.
    const Record* advMap = v.run.spokeGwAdvCidr ? &*v.run.spokeGwAdvCidr : nullptr;
    const auto found = advMap ? advMap->find(v.gwName) : Record::const_iterator();
    if (!advMap || found == advMap->end()) {
        log->warn("  **Alert** " + v.gwName + " not found in controller");
    } else {
        const Record& current = *found;
        if (current.is_array() && !current.empty()) {
            v.revertRecord["gw_adv_cidr"][v.gwName] = current;
        }
        std::string cidrText = text::join(cidrs, ",");
        if (auto override = spokeAdvertisement(
                config::requireKey(v.optionRecord, "spoke_advertisement", "options."))) {
            cidrText = *override;
        }
        log->info("- Configure " + v.gwName + " with advertized cidrs " + cidrText);
        if (!v.run.dryRun.active()) {
            try {
                Telvane::edit_gw_adv_cidr(v.run.apiEndpointUrl, v.run.cid, v.gwName, cidrText);
            } catch (const std::exception& e) {
                log->error("  **Error** Failed to configure " + v.gwName +
                           " with advertized cidrs -" + e.what());
            }
        }
    }

    const Record& peers = config::requireKey(v.optionRecord, "transitPeeringMap", "options.");
    if (!peers.is_object() || !peers.contains(v.transitName))
        return;
    const std::string peer = textForm(peers[v.transitName]);
    for (const auto& cidr : cidrs) {
        log->info("- Check " + peer + " for spoke adv. cidr " + cidr);
        if (v.run.dryRun.active())
            continue;
        try {
            Telvane::check_transit_received_cidr(v.run.apiEndpointUrl, v.run.cid, peer, cidr);
        } catch (const std::exception& e) {
            log->error("  **Error** " + peer + " did not receive spoke adv. cidr " + cidr + " -" +
                       e.what());
        }
    }
}

// The journal notes the step before its first change; the status line shows it.
void beginStep(VnetRun& v, const char* stepName) {
    RevertJournal::beginStep(stepName);
    reportStep(v, stepName);
}

}  // namespace

// The list entry of `section` for the VNet, made empty when the VNet has none yet. Two VNets of
// one name (in two resource groups) share the key: the second adds to the first one's list.
Record& recordList(VnetRun& v, const char* section) {
    Record& entry = v.revertRecord[section][v.vnetKey];
    if (!entry.is_array())
        entry = Record::array();
    return entry;
}

bool runSwitchPipeline(VnetRun& v) {
    reportStep(v, "checks");
    if (alreadySwitched(v))
        return false;
    chooseGatewayNames(v);
    reportStep(v, "routing discovery");
    discoverRouting(v);
    refuseUnsafeNames(v);
    v.account.changesStarted = true;
    RevertJournal::watchGateway(v.gwName);
    beginStep(v, step::kPropagation);
    setPropagation(v, false);
    beginStep(v, step::kLocks);
    removeLocks(v);
    beginStep(v, step::kDetach);
    detachSpokeGateway(v);
    beginStep(v, step::kTerraform);
    markTerraformFile(v);
    beginStep(v, step::kSubnets);
    SwitchTraffic::updateSubnetAssociation(v.optionRecord, false, v.client, v.vnet,
                                           v.rtbTargetRtbMap, v.orgRouteTableInfo);
    reportStep(v, "attach");
    attachSpokeGateway(v);
    beginStep(v, step::kImports);
    prepareImports(v);
    beginStep(v, step::kAdvertise);
    advertiseCidrs(v);
    // Each list below is filled in place before each change it undoes is sent.
    if (!SwitchTraffic::isVnetWithVng(*v.account.credential, v.vnet, SwitchTraffic::ER)) {
        beginStep(v, step::kRemoteGateways);
        SwitchTraffic::disableUseRemoteGwInPeering(v.account.subscriptionId, v.client, v.vnet,
                                                   std::string(kControllerPeeringPrefix),
                                                   &recordList(v, "peering_prop"));
    }
    reportStep(v, "propagation on");
    setPropagation(v, true);
    beginStep(v, step::kHubConnections);
    VWanMgmt::deleteVHubConnection(v.vnet, v.optionRecord, &recordList(v, "vhc_list"));
    if (textForm(config::requireKey(v.run.globalRecord, "delete_peering", "")) != "no") {
        beginStep(v, step::kPeerings);
        SwitchTraffic::deletePeerings(v.run.globalRecord, v.account.subscriptionId, v.vnet,
                                      &v.client, std::string(kControllerPeeringPrefix),
                                      &recordList(v, "peerings"));
    }
    return true;
}

}  // namespace dm::arm

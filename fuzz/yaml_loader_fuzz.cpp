// The discovery YAML as the program reads it: the loader with its shape limits, the start-up
// check of the document, then the reads start-up and each account make of a document that
// passed the check. Those reads must not fail on a checked document: the check exists so that a
// bad document fails before anything is done.

#include <cstdint>
#include <string>

#include "core/error.hpp"
#include "fuzz_support.hpp"
#include "services/common/common.hpp"
#include "services/common/config_check.hpp"
#include "services/common/yaml_context.hpp"

namespace {

using dm::Common;
using dm::Record;

// What start-up reads for the global record (startup.cpp, buildGlobalRecord).
Record globalRecord(const Record& doc) {
    const Record& sw = dm::config::requireKey(doc, "switch_traffic", "");
    Record g = Record::object();
    g["allow_vnet_cidrs"] = Common::getAllowVpcCidr(doc);
    Common::toNetworks(g["allow_vnet_cidrs"]);
    g["subscriptionMap"] = Common::getAzureSubscriptionInfo(doc);
    g["ctrl_private_ip"] = Common::getControllerPrivateIp(doc);
    Common::getControllerCaBundle(doc);
    g["default_route_table"] = Common::getPreStageDefaultRouteTable(doc);
    g["transitPeeringMap"] = Common::getTransitPeeringMap(doc);
    g["delete_vnet_lock"] = Common::getSWDeleteVnetLock(doc);
    g["delete_peering"] = dm::config::requireKey(sw, "delete_peering", "switch_traffic.");
    g["manage_terraform_import"] =
        dm::config::requireKey(sw, "manage_terraform_import", "switch_traffic.");
    dm::YamlContext().setSubscriptionMap(g["subscriptionMap"]);
    Common::readGlobalConfigOption(doc, g);
    dm::YamlContext().getCloud();
    return g;
}

// What each account reads of its entry and of its VNet entries (startup.cpp, prepareAccount;
// account_run.cpp, buildVnetMap; vnet_pipeline.cpp, prepareOptions), short of Azure.
void readAccounts(const Record& doc, const Record& global) {
    const Record& accounts = dm::config::requireKey(doc, "account_info", "");
    dm::fuzz::require(accounts.is_array(), "account_info passed the check but is no list");
    for (std::size_t i = 0; i < accounts.size(); ++i) {
        const Record& entry = accounts[i];
        const std::string where = "account_info[" + std::to_string(i) + "].";
        const std::string subscriptionId =
            dm::textForm(dm::config::requireKey(entry, "subscription_id", where));
        Record info = Common::getSubscription(global["subscriptionMap"], subscriptionId, entry);
        dm::config::requireKey(info, "alias", where + "subscriptionInfo.");
        for (const char* key : {"vwan", "hpe", "max_hpe_performance"})
            dm::lowerTextForm(dm::config::requireKey(entry, key, where));
        try {
            Common::getTargetLocation(info, doc);
        } catch (const dm::ConfigError&) {
            // terraform.output_folder is checked only when an account gets this far.
        }
        Record vnetMap = Record::object();
        for (const Record& vnet : dm::config::requireKey(entry, "vnets", where)) {
            vnetMap[dm::textForm(dm::config::requireKey(vnet, "vnet_name", where))] = vnet;
        }
        for (const auto& item : vnetMap.items()) {
            Record options = global;
            Common::readVnetOption(vnetMap, item.key(), options);
            Common::getMainTablePrefix(item.key());
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const dm::fuzz::ScratchFolder scratch("yaml");
    const std::string path =
        scratch.write("discovery.yaml", {reinterpret_cast<const char*>(data), size}).string();
    dm::fuzz::FreshRun fresh;
    Record doc;
    try {
        doc = Common::convert_yaml_to_json(path);
        Common::expectYamlType(doc, "AZURE");
    } catch (const dm::ConfigError&) {
        return 0;
    }
    try {
        Common::initLogLocation(doc);
        readAccounts(doc, globalRecord(doc));
    } catch (const dm::Error& e) {
        dm::fuzz::fail(std::string("a checked document failed a later read: ") + e.what());
    }
    return 0;
}

// The revert record as a revert run reads it: the bytes are the account's tmp/revert.json,
// read by the Terraform service, then handed to every step that restores from it, in a dry run
// (the steps read the record and Azure, and change nothing).

#include <cstdint>
#include <memory>
#include <string>

#include "core/error.hpp"
#include "dm/arm/cutoverlib.hpp"
#include "dm/arm/peering_snapshot.hpp"
#include "fuzz_support.hpp"
#include "services/context/globals.hpp"
#include "services/terraform/terraform.hpp"
#include "services/vwan/vwan_mgmt.hpp"

namespace {

using dm::Record;

// The VNet's Terraform file the record's "vnetid-tf-size" entries may describe.
constexpr const char* kVnetTf =
    "module \"spoke1\" {\n"
    "  source         = \"./modules/telvane-managed\"\n"
    "  switch_traffic = true\n"
    "}\n"
    "resource \"telvane_spoke_transit_attachment\" \"gw_transit\" {\n"
    "}\n";

// Each entry of a per-VNet section, as the revert pipeline looks them up by VNet key.
template <class Step>
void forEachEntry(const Record& record, const char* section, Step step) {
    auto map = record.find(section);
    if (map == record.end() || !map->is_object())
        return;
    for (const auto& entry : map->items())
        step(entry.value());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const dm::fuzz::ScratchFolder scratch("revert");
    static const std::string account = [] {
        scratch.write("account/spoke1.tf", kVnetTf);
        return (scratch.path() / "account").string();
    }();
    scratch.write("account/tmp/revert.json", {reinterpret_cast<const char*>(data), size});

    dm::fuzz::FreshRun fresh;
    fresh.run.dryRun.activate();
    fresh.run.revert = true;
    dm::Globals::setTargetFolder(account);
    dm::Terraform::setSwitchTrafficTargetFolder();

    Record record;
    try {
        record = dm::Terraform::readRevertInfo();
    } catch (const dm::Error&) {
        return 0;
    }
    dm::fuzz::require(record.is_object(), "the revert record read is not a map");
    // Stored records are read back as they were written, key order included.
    dm::fuzz::require(Record::parse(record.dump(2)) == record, "the record does not read back");

    // The Terraform files go back to their recorded sizes.
    if (auto sizes = record.find("vnetid-tf-size"); sizes != record.end() && sizes->is_object()) {
        for (const auto& entry : sizes->items()) {
            try {
                dm::Terraform::revertFile(entry.key(), record);
            } catch (const dm::Error&) {
            }
        }
    }
    try {
        dm::Terraform::revertFile("spoke1.tf", record);
    } catch (const dm::Error&) {
    }

    // Native peerings, hub connections and use_remote_gateways flags; each step logs and skips
    // an entry it cannot use. The peering client finds nothing in Azure.
    auto transport = std::make_shared<dm::fuzz::ScriptedTransport>(
        std::deque<dm::http::Response>{},
        dm::fuzz::answer(404, R"({"error":{"code":"NotFound"}})"));
    const dm::azure::NetworkManagementClient client(
        std::make_shared<dm::fuzz::StaticCredential>(transport), "sub-1");
    const dm::azure::VirtualNetwork vnet(
        Record{{"id",
                "/subscriptions/sub-1/resourceGroups/rg/providers/Microsoft.Network/"
                "virtualNetworks/spoke1"},
               {"name", "spoke1"}});
    forEachEntry(record, "peerings", [](const Record& pairs) {
        dm::arm::SwitchTraffic::addPeerings(pairs);
        if (!pairs.is_array())
            return;
        for (const Record& pair : pairs) {
            for (const char* side : {"localPeering", "remotePeering"}) {
                if (auto snapshot = dm::lookup(pair, side)) {
                    const auto peering = dm::arm::peeringFromSnapshot(*snapshot);
                    peering.remote_virtual_network();
                    peering.use_remote_gateways();
                    peering.json().dump();
                }
            }
        }
    });
    forEachEntry(record, "peering_prop", [&client](const Record& props) {
        dm::arm::SwitchTraffic::restoreUseRemoteGwInPeering(client, props);
    });
    forEachEntry(record, "vhc_list", [&vnet](const Record& hubs) {
        dm::VWanMgmt::restoreVhcConnection(vnet, Record::object(), hubs);
    });
    // The advertised CIDRs of a gateway, as the revert joins them.
    forEachEntry(record, "gw_adv_cidr", [](const Record& cidrs) {
        for (const auto& cidr : cidrs)
            dm::textForm(cidr);
    });
    return 0;
}

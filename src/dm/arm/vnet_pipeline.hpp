#pragma once
// The per-VNet sequence: what both modes share, and the entries of each mode.

#include <set>
#include <string>
#include <vector>

#include "core/record.hpp"
#include "dm/arm/account_context.hpp"
#include "dm/arm/cutoverlib.hpp"

namespace dm::arm {

class TurnOrder;

// Everything one VNet's pipeline works with.
struct VnetRun {
    VnetRun(RunContext& r, AccountContext& a, const NetworkManagementClient& c,
            const VirtualNetwork& n, const Record& e, Record& revert)
        : run(r),
          account(a),
          client(c),
          vnet(n),
          entry(e),
          revertRecord(revert),
          optionRecord(r.currentVnetOptions()) {}

    RunContext& run;
    AccountContext& account;
    const NetworkManagementClient& client;
    const VirtualNetwork& vnet;
    const Record& entry;  // the VNet's entry of the account's "vnets"
    Record& revertRecord;
    Record& optionRecord;  // the run's option record of this VNet (Globals::yaml())
    std::string vnetKey;   // subscription id + ":" + VNet name
    std::string gwName;
    std::string transitName;
    Record rtbTargetRtbMap = Record::object();
    std::vector<std::string> stagedUdrLst;
    RouteTableInfo orgRouteTableInfo;
    bool vpn = false;
    // A revert after a switch that stopped part-way: the steps that switch began for this VNet,
    // the only ones undone. Null after a complete switch: everything is reverted.
    const std::set<std::string>* switchSteps = nullptr;
    // The route tables an earlier run noted for the VNet ({"staged": [...], "map": {staged:
    // original}}); null when none.
    const Record* notedRouting = nullptr;
    // The route tables are found as a switch finds them (original -> staged): for a revert
    // whose switch stopped before it moved any subnet, the staged tables are not in use yet.
    bool routingAsSwitch = false;
    // Several VNets in flight at once: the order of their turns at shared steps, and this
    // VNet's place in it. Null when the VNets run one after another.
    TurnOrder* turns = nullptr;
    size_t slot = 0;
};

// The switch steps the revert journal tracks, by the part of the VNet they change.
namespace step {
inline constexpr const char* kPropagation = "propagation";  // gateway route propagation
inline constexpr const char* kLocks = "locks";
inline constexpr const char* kDetach = "detach";  // the spoke gateway's attachment
inline constexpr const char* kTerraform = "terraform";
inline constexpr const char* kSubnets = "subnets";
inline constexpr const char* kImports = "imports";  // subnet groups and Terraform imports
inline constexpr const char* kAdvertise = "advertise";
inline constexpr const char* kRemoteGateways = "remote_gateways";
inline constexpr const char* kHubConnections = "hub_connections";
inline constexpr const char* kPeerings = "peerings";
}  // namespace step

// Whether the revert undoes the step (always after a complete switch).
inline bool switchBegan(const VnetRun& v, const char* stepName) {
    return !v.switchSteps || v.switchSteps->count(stepName) > 0;
}

// Shows the step the VNet is in on the run's status line.
inline void reportStep(VnetRun& v, const char* stepName) {
    v.run.progress->setStep(v.vnet.name(), stepName);
}

// Forward run of one VNet; returns false when the VNet was refused (already switched).
bool runSwitchPipeline(VnetRun& v);
// Revert run of one VNet.
void runRevertPipeline(VnetRun& v);

// --- steps both modes share ---
// The VNet's option record, published as Globals::yaml().
void prepareOptions(VnetRun& v, const Record& vnetMap);
// The spoke and transit gateway names.
void chooseGatewayNames(VnetRun& v);
// Route-table discovery and the VPN gateway check; what was found (with what an earlier run
// noted) is noted in the revert journal.
void discoverRouting(VnetRun& v);
// Refuses, before the VNet's first change, names from Azure or derived from it (the VNet, its
// subnets, the gateways and the staged route tables the controller is given) that could not be
// one file name, one list item or one log line.
void refuseUnsafeNames(const VnetRun& v);
// Gateway route propagation on the staged tables (on before the switch, off after it).
void setPropagation(VnetRun& v, bool disableFlag);
// The VNet's lock and, when the controller knows it, the transit VNet's.
void removeLocks(VnetRun& v);
// Detach the spoke gateway when the controller lists it as attached.
void detachSpokeGateway(VnetRun& v);
// Attach the spoke gateway with its route tables, then its security domain.
void attachSpokeGateway(VnetRun& v);

// True only for the boolean true (a text "true" does not count).
bool isTrue(const Record& value);

}  // namespace dm::arm

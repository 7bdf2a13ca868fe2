#pragma once
// Several VNets of an account at once (--parallel N): up to N VNet pipelines run on worker
// threads, and what they leave reads as a run of one VNet after another. Each VNet's log lines,
// its revert record entries and its additions to the files every VNet extends are held in its
// lane and committed in listing order; a VNet that shares a VNet, a name or a route table with
// an earlier one starts once that one is committed; writes on a hub or remote VNet that several
// VNets change wait for each other (ResourceLocks).

#include <condition_variable>
#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/error.hpp"
#include "dm/arm/account_context.hpp"
#include "dm/arm/cutoverlib.hpp"
#include "services/terraform/revert_journal.hpp"

namespace dm::arm {

// Steps whose outcome depends on what the VNets before did there (a lock on the transit VNet
// that every VNet removes: the first one finds it) are passed one VNet at a time, in listing
// order.
class TurnOrder {
  public:
    explicit TurnOrder(size_t slots);
    // Held while the VNet in `slot` is in `step`.
    class Turn {
      public:
        Turn(TurnOrder* order, const char* step, size_t slot);
        ~Turn();
        Turn(const Turn&) = delete;
        Turn& operator=(const Turn&) = delete;

      private:
        TurnOrder* order_;
        const char* step_;
        size_t slot_;
    };
    // The VNet in `slot` is done with every step (or never reached them).
    void end(size_t slot);

  private:
    void advanceLocked(const std::string& step);
    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::string, size_t> next_;  // step -> the first slot that has not passed it
    std::vector<std::set<std::string>> passed_;
    std::vector<bool> ended_;
};

// How a VNet's turn ended.
enum class VnetEnd {
    Done,       // switched or reverted
    Skipped,    // refused: already switched
    DoneEarly,  // reverted by an earlier run
    Unchanged,  // not changed by a switch that stopped before it
};

// What the VNets of one account run share.
struct AccountVnets {
    RunContext& run;
    AccountContext& account;
    const NetworkManagementClient& client;
    const Record& vnetMap;
    const std::optional<JournalProgress>& progress;
};

// One VNet's pipeline, with what an earlier run noted of it; throws what stopped it.
VnetEnd runVnet(const AccountVnets& job, const VirtualNetwork& vnet, TurnOrder* turns, size_t slot);

// VNets failed in a parallel run; each failure is already logged after the VNet's lines.
class VnetsFailed : public Error {
  public:
    using Error::Error;
};

// Runs `vnets` (in listing order) up to run.options.parallel at once and notes each in
// `summary`. After a failure no further VNet starts; those in flight finish and are committed.
// Throws VnetsFailed (with the first failure's text) when any failed.
void runVnetsInParallel(const AccountVnets& job, const std::vector<VirtualNetwork>& vnets,
                        AccountSummary& summary);

}  // namespace dm::arm

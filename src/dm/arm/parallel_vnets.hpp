#pragma once
// Several VNets of an account at once (--parallel N): up to N VNet pipelines run on worker
// threads, and what they leave reads as a run of one VNet after another. Each VNet's log lines,
// its revert record entries and its additions to the files every VNet extends are held in its
// lane and committed in listing order; a VNet that shares a VNet, a name or a route table with
// an earlier one starts once that one is committed; writes on a hub or remote VNet that several
// VNets change wait for each other (ResourceLocks).

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/error.hpp"
#include "dm/arm/account_context.hpp"
#include "dm/arm/cutoverlib.hpp"
#include "services/terraform/revert_journal.hpp"

namespace dm::arm {

// The step whose outcome depends on what the VNets before did there (a lock on the transit VNet
// that every VNet removes: the first one finds it) is passed one VNet at a time, in listing
// order.
class TurnOrder {
  public:
    explicit TurnOrder(size_t slots);
    // Held while the VNet in `slot` is in that step; nothing to wait for when `order` is null.
    class Turn {
      public:
        Turn(TurnOrder* order, size_t slot);
        ~Turn();
        Turn(const Turn&) = delete;
        Turn& operator=(const Turn&) = delete;

      private:
        TurnOrder* order_;
        size_t slot_;
    };
    // The VNet in `slot` is past the step (or will never reach it).
    void end(size_t slot);

  private:
    void doneLocked(size_t slot);
    std::mutex mutex_;
    std::condition_variable changed_;
    size_t next_ = 0;  // the first slot not past the step
    std::vector<bool> done_;
};

// How a VNet's turn ended.
enum class VnetEnd {
    Done,       // switched or reverted
    Skipped,    // refused: already switched
    DoneEarly,  // reverted by an earlier run
    Unchanged,  // not changed by a switch that stopped before it
};

// Notes the VNet as done or skipped in the account's summary; true when its pipeline ran (the
// end of its turn then syncs the files and checks the updates it started).
bool noteVnetEnd(AccountSummary& summary, const std::string& vnet, VnetEnd end);

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

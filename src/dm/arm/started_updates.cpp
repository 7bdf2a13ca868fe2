#include "dm/arm/started_updates.hpp"

#include <exception>
#include <vector>

#include "dm/arm/library_log.hpp"
#include "platform/azure/errors.hpp"
#include "services/context/run_context.hpp"

namespace dm::arm {
namespace {

struct StartedUpdate {
    std::string what;
    std::function<void()> wait;
};

struct StartedUpdates {
    std::vector<StartedUpdate> earlier;  // started by the VNet before the last check
    std::vector<StartedUpdate> current;
};

// The VNet's own list while it is in flight beside others; the run's otherwise.
StartedUpdates& updates() {
    return currentRun().vnetService<StartedUpdates>();
}

size_t settle(std::vector<StartedUpdate>& list) {
    size_t failed = 0;
    // Taken out first: a wait that throws leaves nothing half-checked behind.
    std::vector<StartedUpdate> taken;
    taken.swap(list);
    for (auto& update : taken) {
        try {
            update.wait();
        } catch (const std::exception& e) {
            // Deleted since by a later step (a peering whose flag was turned off and which then
            // went): nothing is left to have failed.
            auto arm = dynamic_cast<const azure::ArmError*>(&e);
            if (arm && arm->status() == 404) {
                libraryLogger()->debug("  " + update.what + ": the resource is gone");
                continue;
            }
            libraryLogger()->error("  **Error** " + update.what + " did not complete -" + e.what());
            ++failed;
        }
    }
    return failed;
}

}  // namespace

void noteStartedUpdate(std::string what, std::function<void()> wait) {
    updates().current.push_back({std::move(what), std::move(wait)});
}

void takeStartedUpdates(VnetLane& lane) {
    auto& own = lane.service<StartedUpdates>().current;
    auto& run = currentRun().service<StartedUpdates>().current;
    for (auto& update : own)
        run.push_back(std::move(update));
    own.clear();
}

size_t checkStartedUpdates(bool all) {
    StartedUpdates& u = updates();
    size_t failed = settle(u.earlier);
    if (all)
        return failed + settle(u.current);
    u.earlier.swap(u.current);
    return failed;
}

}  // namespace dm::arm

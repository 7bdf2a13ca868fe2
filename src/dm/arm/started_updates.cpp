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
    std::vector<StartedUpdate> earlier;  // started before the last boundary
    std::vector<StartedUpdate> current;
};

StartedUpdates& updates() {
    return currentRun().service<StartedUpdates>();
}

size_t settle(std::vector<StartedUpdate>& list) {
    size_t failed = 0;
    // Taken out first: a wait that throws leaves nothing half-checked behind.
    std::vector<StartedUpdate> taken;
    taken.swap(list);
    for (auto& update : taken) {
        try {
            update.wait();
        } catch (const azure::ArmError& e) {
            // Deleted since by a later step (a peering whose flag was turned off and which then
            // went): nothing is left to have failed.
            if (e.status() == 404) {
                libraryLogger()->debug("  " + update.what + ": the resource is gone");
                continue;
            }
            libraryLogger()->error("  **Error** " + update.what + " did not complete -" + e.what());
            ++failed;
        } catch (const std::exception& e) {
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

size_t checkStartedUpdates(bool all) {
    StartedUpdates& u = updates();
    size_t failed = settle(u.earlier);
    if (all)
        failed += settle(u.current);
    return failed;
}

void markVnetBoundary() {
    StartedUpdates& u = updates();
    for (auto& update : u.current)
        u.earlier.push_back(std::move(update));
    u.current.clear();
}

}  // namespace dm::arm

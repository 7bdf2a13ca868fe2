#include "dm/arm/parallel_vnets.hpp"

#include <exception>
#include <map>
#include <memory>
#include <set>
#include <thread>

#include <spdlog/spdlog.h>

#include "core/log.hpp"
#include "core/text.hpp"
#include "dm/arm/started_updates.hpp"
#include "services/context/app_exit_status.hpp"
#include "services/terraform/terraform.hpp"

namespace dm::arm {

TurnOrder::TurnOrder(size_t slots) : done_(slots, false) {}

void TurnOrder::doneLocked(size_t slot) {
    done_[slot] = true;
    while (next_ < done_.size() && done_[next_])
        ++next_;
}

TurnOrder::Turn::Turn(TurnOrder* order, size_t slot) : order_(order), slot_(slot) {
    if (!order_)
        return;
    std::unique_lock lock(order_->mutex_);
    order_->changed_.wait(lock, [&] { return order_->next_ >= slot_; });
}

TurnOrder::Turn::~Turn() {
    if (order_)
        order_->end(slot_);
}

void TurnOrder::end(size_t slot) {
    {
        std::lock_guard lock(mutex_);
        doneLocked(slot);
    }
    changed_.notify_all();
}

bool noteVnetEnd(AccountSummary& summary, const std::string& vnet, VnetEnd end) {
    if (end == VnetEnd::Done || end == VnetEnd::DoneEarly)
        summary.done.push_back(vnet);
    else
        summary.skipped.push_back(vnet);
    return end == VnetEnd::Done || end == VnetEnd::Skipped;
}

namespace {

// One VNet of the account in a parallel run.
struct Slot {
    explicit Slot(VirtualNetwork v) : vnet(std::move(v)) {}
    VirtualNetwork vnet;
    VnetLane lane;
    HeldLines held;
    VnetEnd end = VnetEnd::Done;
    std::exception_ptr failure;
    // The last earlier VNet that shares a VNet, a name or a route table with this one: it
    // starts once that one is committed, so it sees what it left, as if it had run after it.
    std::optional<size_t> after;
    bool started = false;
    bool finished = false;
};

// What ties a VNet to others of the run: its name (its Terraform file and record key), itself and
// the VNets of the run it is peered with, and the route tables of its subnets.
std::vector<std::string> sharedKeys(const VirtualNetwork& vnet, const std::set<std::string>& run) {
    std::vector<std::string> keys{"name:" + text::toLower(vnet.name()),
                                  "vnet:" + text::toLower(vnet.id())};
    for (const auto& peering : vnet.virtual_network_peerings()) {
        auto remote = peering.remote_virtual_network();
        if (remote && run.count(text::toLower(*remote)))
            keys.push_back("vnet:" + text::toLower(*remote));
    }
    for (const auto& subnet : vnet.subnets()) {
        if (auto table = subnet.route_table())
            keys.push_back("table:" + text::toLower(*table));
    }
    return keys;
}

void linkSlots(std::vector<std::unique_ptr<Slot>>& slots) {
    std::set<std::string> ids;
    for (const auto& slot : slots)
        ids.insert(text::toLower(slot->vnet.id()));
    std::map<std::string, size_t> last;
    for (size_t i = 0; i < slots.size(); ++i) {
        for (const auto& key : sharedKeys(slots[i]->vnet, ids)) {
            auto [it, fresh] = last.try_emplace(key, i);
            // Two subnets of one VNet on one route table tie the VNet to itself only.
            if (!fresh && it->second != i) {
                slots[i]->after = std::max(slots[i]->after.value_or(0), it->second);
                it->second = i;
            }
        }
    }
}

std::string failureText(const std::exception_ptr& failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown failure";
    }
}

}  // namespace

void runVnetsInParallel(const AccountVnets& job, const std::vector<VirtualNetwork>& vnets,
                        AccountSummary& summary) {
    RunContext& run = job.run;
    const bool revert = run.options.revert;
    std::vector<std::unique_ptr<Slot>> slots;
    for (const auto& vnet : vnets) {
        slots.push_back(std::make_unique<Slot>(vnet));
    }
    linkSlots(slots);
    TurnOrder turns(slots.size());

    std::mutex mutex;
    std::condition_variable changed;
    size_t next = 0;       // the first slot no worker has taken
    size_t committed = 0;  // slots before this one are committed
    bool stop = false;     // a VNet failed: no further one starts

    auto work = [&] {
        RunScope scope(run);
        for (;;) {
            Slot* slot;
            size_t index;
            {
                std::unique_lock lock(mutex);
                if (stop || next == slots.size())
                    return;
                index = next++;
                slot = slots[index].get();
                changed.wait(lock,
                             [&] { return stop || !slot->after || committed > *slot->after; });
                slot->started = !stop;
            }
            if (slot->started) {
                const std::string name = slot->vnet.name();
                LaneScope lane(slot->lane);
                HoldScope hold(slot->held);
                run.progress->beginVnet(name);
                try {
                    if (!revert) {
                        slot->lane.revertRecord = RevertJournal::vnetRecord(
                            run, job.account.subscriptionId + ":" + name, name + ".tf");
                    }
                    slot->end = runVnet(job, slot->vnet, &turns, index);
                    if (revert && slot->end == VnetEnd::Done) {
                        // The reverted files are durable before the journal says so.
                        Terraform::syncFiles();
                        RevertJournal::markReverted();
                    }
                } catch (...) {
                    slot->failure = std::current_exception();
                }
                run.progress->endVnet(name);
            }
            turns.end(index);
            {
                std::lock_guard lock(mutex);
                slot->finished = true;
                if (slot->failure)
                    stop = true;
            }
            changed.notify_all();
        }
    };

    // However this thread leaves, no further VNet starts and the workers are joined first.
    struct Workers {
        std::mutex& mutex;
        std::condition_variable& changed;
        bool& stop;
        std::vector<std::thread> threads;
        ~Workers() {
            {
                std::lock_guard lock(mutex);
                stop = true;
            }
            changed.notify_all();
            for (auto& thread : threads)
                thread.join();
        }
    } workers{mutex, changed, stop, {}};
    const size_t width = std::min(slots.size(), static_cast<size_t>(run.options.parallel));
    for (size_t i = 0; i < width; ++i)
        workers.threads.emplace_back(work);

    // Commits the VNets in listing order as they finish, on this thread: their lines, their
    // additions to the shared files and their record entries, then what a run of one VNet after
    // another does at each VNet's end.
    std::optional<std::string> firstFailure;
    auto log = spdlog::get("dm");
    for (size_t k = 0; k < slots.size(); ++k) {
        Slot& slot = *slots[k];
        {
            std::unique_lock lock(mutex);
            changed.wait(lock, [&] { return slot.finished || (stop && k >= next); });
        }
        if (!slot.started)
            continue;  // not run: a VNet before it failed
        slot.held.release();
        const std::string name = slot.vnet.name();
        try {
            Terraform::writeHeldAppends(slot.lane);
            if (slot.lane.revertRecord)
                RevertJournal::commitVnetRecord(run, *slot.lane.revertRecord);
            bool ran = false;
            if (slot.failure) {
                const std::string text = failureText(slot.failure);
                AppExitStatus().markFailed();
                log->error("**Error** " + text);
                summary.failed.push_back(name);
                if (!firstFailure)
                    firstFailure = text;
            } else {
                ran = noteVnetEnd(summary, name, slot.end);
            }
            Terraform::syncFiles();
            takeStartedUpdates(slot.lane);
            if (ran)
                checkStartedUpdates(false);
        } catch (const std::exception& e) {
            AppExitStatus().markFailed();
            log->error("**Error** " + std::string(e.what()));
            if (!firstFailure)
                firstFailure = e.what();
            std::lock_guard lock(mutex);
            stop = true;
        }
        {
            std::lock_guard lock(mutex);
            committed = k + 1;
        }
        changed.notify_all();
    }
    if (firstFailure)
        throw VnetsFailed(*firstFailure);
}

}  // namespace dm::arm

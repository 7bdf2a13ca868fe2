#include "services/context/run_context.hpp"

#include <spdlog/sinks/base_sink.h>

#include <mutex>

#include "core/error.hpp"
#include "core/text.hpp"

namespace dm {
namespace {

// The run installed on this thread; the only mutable static of the services, and a pointer to
// the state rather than state itself.
thread_local RunContext* t_current = nullptr;
thread_local VnetLane* t_lane = nullptr;

// Counts error and critical lines; writes nothing.
class CountingSink : public spdlog::sinks::base_sink<std::mutex> {
  public:
    explicit CountingSink(std::shared_ptr<std::atomic<std::size_t>> errors)
        : errors_(std::move(errors)) {}

  protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        if (msg.level >= spdlog::level::err && msg.level != spdlog::level::off)
            ++*errors_;
    }
    void flush_() override {}

  private:
    std::shared_ptr<std::atomic<std::size_t>> errors_;
};

}  // namespace

ExitStatus::ExitStatus()
    : errors_(std::make_shared<std::atomic<std::size_t>>(0)),
      sink_(std::make_shared<CountingSink>(errors_)) {}

int ExitStatus::status(const DryRunPolicy& policy) const {
    if (failed_ || policy.refusedCount() > 0)
        return 1;
    return errors_->load() > 0 ? 2 : 0;
}

RunContext::RunContext() = default;
RunContext::~RunContext() {
    progress->finish();  // its failure count reads this run
}

std::shared_ptr<http::Transport> RunContext::guarded(std::shared_ptr<http::Transport> inner,
                                                     http::RequestClassifier isRead) {
    return std::make_shared<http::DryRunGuard>(
        std::move(inner), [this] { return dryRun.active(); }, std::move(isRead),
        [this](const http::Request&) { dryRun.noteRefused(); },
        [this] {
            if (beforeChange)
                beforeChange();
        });
}

RunContext& currentRun() {
    if (!t_current)
        throw Error("no run is in progress");
    return *t_current;
}

RunContext* currentRunIfAny() {
    return t_current;
}

RunScope::RunScope(RunContext& run) : ThreadScope(t_current, run) {}

VnetLane* currentLane() {
    return t_lane;
}

LaneScope::LaneScope(VnetLane& lane) : ThreadScope(t_lane, lane) {}

std::unique_lock<std::mutex> ResourceLocks::hold(const std::string& resourceId) {
    std::mutex* lock;
    {
        std::lock_guard guard(mutex_);
        auto& slot = locks_[text::toLower(resourceId)];
        if (!slot)
            slot = std::make_unique<std::mutex>();
        lock = slot.get();
    }
    return std::unique_lock<std::mutex>(*lock);
}

}  // namespace dm

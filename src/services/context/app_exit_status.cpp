#include "services/context/app_exit_status.hpp"

#include <spdlog/sinks/base_sink.h>

#include <atomic>
#include <mutex>

namespace dm {

namespace {

std::atomic<std::size_t> g_errors{0};
std::atomic<bool> g_failed{false};

// Counts error and critical lines; writes nothing.
class CountingSink : public spdlog::sinks::base_sink<std::mutex> {
  protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        if (msg.level >= spdlog::level::err && msg.level != spdlog::level::off)
            ++g_errors;
    }
    void flush_() override {}
};

}  // namespace

int AppExitStatus::getStatus() const {
    if (g_failed)
        return 1;
    return g_errors > 0 ? 2 : 0;
}

void AppExitStatus::markFailed() {
    g_failed = true;
}

std::size_t AppExitStatus::errorCount() const {
    return g_errors;
}

std::shared_ptr<spdlog::sinks::sink> AppExitStatus::sink() {
    static const auto counter = std::make_shared<CountingSink>();
    return counter;
}

void AppExitStatus::reset() {
    g_errors = 0;
    g_failed = false;
}

}  // namespace dm

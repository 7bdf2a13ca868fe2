#include "platform/aws/log.hpp"

#include <spdlog/spdlog.h>

namespace dm::aws {

std::shared_ptr<spdlog::logger> awsLogger() {
    if (auto existing = spdlog::get(kLoggerName))
        return existing;
    const auto& sinks = spdlog::default_logger()->sinks();
    auto created = std::make_shared<spdlog::logger>(kLoggerName, sinks.begin(), sinks.end());
    try {
        spdlog::initialize_logger(created);
    } catch (const spdlog::spdlog_ex&) {
        // Registered meanwhile by someone else: theirs wins.
        if (auto existing = spdlog::get(kLoggerName))
            return existing;
    }
    return created;
}

}  // namespace dm::aws

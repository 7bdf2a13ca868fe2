#include "core/log.hpp"

#include <spdlog/spdlog.h>

namespace dm {

std::shared_ptr<spdlog::logger> namedLogger(const char* name) {
    if (auto existing = spdlog::get(name))
        return existing;
    const auto& sinks = spdlog::default_logger()->sinks();
    auto created = std::make_shared<spdlog::logger>(name, sinks.begin(), sinks.end());
    try {
        spdlog::initialize_logger(created);
    } catch (const spdlog::spdlog_ex&) {
        // Registered meanwhile by someone else: theirs wins.
        if (auto existing = spdlog::get(name))
            return existing;
    }
    return created;
}

}  // namespace dm

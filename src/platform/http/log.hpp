#pragma once
// The HTTP layer's logger, "dm.http".

#include <memory>

#include "core/log.hpp"

namespace dm::http {

inline constexpr const char* kLoggerName = "dm.http";

inline std::shared_ptr<spdlog::logger> httpLogger() {
    return namedLogger(kLoggerName);
}

}  // namespace dm::http

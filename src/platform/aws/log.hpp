#pragma once
// The S3 layer's logger, "dm.aws", shared by the platform calls and the Aws service.

#include <memory>

#include "core/log.hpp"

namespace dm::aws {

inline constexpr const char* kLoggerName = "dm.aws";

inline std::shared_ptr<spdlog::logger> awsLogger() {
    return namedLogger(kLoggerName);
}

}  // namespace dm::aws

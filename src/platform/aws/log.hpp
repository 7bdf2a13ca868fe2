#pragma once
// The S3 layer's logger, "dm.aws", shared by the platform calls and the Aws service.

#include <memory>

#include <spdlog/logger.h>

namespace dm::aws {

inline constexpr const char* kLoggerName = "dm.aws";

// The registered "dm.aws" logger; when none is registered yet, registers one that writes to the
// default logger's sinks. Looked up on every call so that a logger configured later wins.
std::shared_ptr<spdlog::logger> awsLogger();

}  // namespace dm::aws

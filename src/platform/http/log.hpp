#pragma once
// The HTTP layer's logger, "dm.http".

#include <memory>

#include <spdlog/logger.h>

namespace dm::http {

inline constexpr const char* kLoggerName = "dm.http";

// The registered "dm.http" logger; when none is registered yet, registers one that writes to the
// default logger's sinks. Looked up on every call so that a logger configured later wins.
std::shared_ptr<spdlog::logger> httpLogger();

// The registered logger of that name; when none is registered yet, registers one that writes to
// the default logger's sinks. Never throws.
std::shared_ptr<spdlog::logger> namedLogger(const char* name);

}  // namespace dm::http

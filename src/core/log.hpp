#pragma once
// The one way every module gets its named logger.

#include <spdlog/logger.h>

#include <memory>

namespace dm {

// The registered logger of that name; when none is registered yet, registers one that writes
// to the default logger's sinks, so a line logged before logging is configured is not lost and
// the logging set-up later gives it its handlers. Looked up on every call so that a logger
// configured later wins. Never throws.
std::shared_ptr<spdlog::logger> namedLogger(const char* name);

}  // namespace dm

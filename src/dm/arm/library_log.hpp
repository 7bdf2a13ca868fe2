#pragma once
// The library's logger and its line conventions.

#include <memory>
#include <string>

#include <spdlog/spdlog.h>

#include "core/record.hpp"
#include "platform/azure/records.hpp"

namespace dm::arm {

inline constexpr const char* kLibraryLoggerName = "dm.arm.cutoverlib";

// The logger "dm.arm.cutoverlib"; created on first use when logging is not configured yet.
std::shared_ptr<spdlog::logger> libraryLogger();

// A Python-like text form of a flag in log lines ("True"/"False").
inline const char* pyBool(bool b) {
    return b ? "True" : "False";
}

}  // namespace dm::arm

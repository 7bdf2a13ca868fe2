#pragma once
// Helpers shared by the Azure client's sources; not part of its interface.

#include <spdlog/spdlog.h>

#include <memory>
#include <optional>
#include <string>

#include "core/record.hpp"

namespace dm::azure::detail {

// The "dm.azure" logger (see namedLogger).
std::shared_ptr<spdlog::logger> log();

// The string under `key` of an object, or nullopt when absent or not a string.
std::optional<std::string> stringAt(const Record& object, const char* key);

// The URL without its query string, for messages.
std::string withoutQuery(const std::string& url);

// The text without trailing "/", to append a path to a host or endpoint.
std::string trimSlashes(std::string text);

}  // namespace dm::azure::detail

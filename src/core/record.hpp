#pragma once
// Records that are stored or exchanged keep their key order, so they are ordered JSON.

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace dm {

using Record = nlohmann::ordered_json;

// The text form of a scalar: strings as they are, booleans "true"/"false", numbers as written,
// null as "null"; maps and lists as compact JSON.
std::string textForm(const Record& value);

// The text form, lower-cased ("a boolean becomes true or false").
std::string lowerTextForm(const Record& value);

// The value under `key` of a map, or nullopt when the map lacks it or is no map.
std::optional<Record> lookup(const Record& map, const std::string& key);

}  // namespace dm

#include "core/record.hpp"

#include "core/text.hpp"

namespace dm {

std::string textForm(const Record& value) {
    if (value.is_string())
        return value.get<std::string>();
    if (value.is_boolean())
        return value.get<bool>() ? "true" : "false";
    if (value.is_null())
        return "null";
    return value.dump();
}

std::string lowerTextForm(const Record& value) {
    return text::toLower(textForm(value));
}

std::optional<Record> lookup(const Record& map, const std::string& key) {
    if (!map.is_object())
        return std::nullopt;
    auto it = map.find(key);
    if (it == map.end())
        return std::nullopt;
    return *it;
}

}  // namespace dm

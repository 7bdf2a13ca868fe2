#include "services/common/config_check.hpp"

#include "core/error.hpp"
#include "core/text.hpp"
#include "services/context/run_context.hpp"

namespace dm::config {

std::string describe(const Record& value) {
    switch (value.type()) {
        case Record::value_t::null:
            return "null";
        case Record::value_t::boolean:
            return std::string("the boolean ") + (value.get<bool>() ? "true" : "false");
        case Record::value_t::string:
            // Shown escaped: an error line must stay one line.
            return "the string \"" + text::escapeControl(value.get<std::string>()) + "\"";
        case Record::value_t::number_integer:
        case Record::value_t::number_unsigned:
        case Record::value_t::number_float:
            return "the number " + value.dump();
        case Record::value_t::array:
            return "a list";
        case Record::value_t::object:
            return "a map";
        default:
            return "an unreadable value";
    }
}

std::string child(const std::string& parent, const std::string& key) {
    return parent.empty() ? key : parent + "." + key;
}

std::string element(const std::string& parent, std::size_t index) {
    return parent + "[" + std::to_string(index) + "]";
}

std::string fileName() {
    const RunContext* run = currentRunIfAny();
    return !run || run->inputPath.empty() ? "<discovery YAML>" : run->inputPath;
}

void failMissing(const std::string& path, const std::string& expected) {
    throw ConfigError(fileName() + ": " + path + ": missing, expected " + expected);
}

void failType(const std::string& path, const std::string& expected, const Record& found) {
    throw ConfigError(fileName() + ": " + path + ": expected " + expected + ", found " +
                      describe(found));
}

const Record* find(const Record& map, const std::string& key, const std::string& mapPath) {
    if (map.is_null())
        return nullptr;
    if (!map.is_object())
        failType(mapPath.empty() ? "(document)" : mapPath, "a map", map);
    auto it = map.find(key);
    if (it == map.end() || it->is_null())
        return nullptr;
    return &*it;
}

std::optional<bool> optBool(const Record& map, const std::string& key, const std::string& mapPath) {
    const Record* v = find(map, key, mapPath);
    if (!v)
        return std::nullopt;
    expectBool(*v, child(mapPath, key));
    return v->get<bool>();
}

std::optional<std::string> optString(const Record& map, const std::string& key,
                                     const std::string& mapPath) {
    const Record* v = find(map, key, mapPath);
    if (!v)
        return std::nullopt;
    expectString(*v, child(mapPath, key));
    return v->get<std::string>();
}

const Record& require(const Record& map, const std::string& key, const std::string& mapPath,
                      const std::string& expected) {
    const Record* v = find(map, key, mapPath);
    if (!v)
        failMissing(child(mapPath, key), expected);
    return *v;
}

std::string requireString(const Record& map, const std::string& key, const std::string& mapPath) {
    const Record& v = require(map, key, mapPath, "a string");
    expectString(v, child(mapPath, key));
    return v.get<std::string>();
}

void expectBool(const Record& value, const std::string& path) {
    if (!value.is_boolean())
        failType(path, "a boolean (true or false)", value);
}

void expectString(const Record& value, const std::string& path) {
    if (!value.is_string())
        failType(path, "a string", value);
}

void expectNumber(const Record& value, const std::string& path) {
    if (!value.is_number())
        failType(path, "a number", value);
}

void expectMap(const Record& value, const std::string& path) {
    if (!value.is_object())
        failType(path, "a map", value);
}

void expectList(const Record& value, const std::string& path) {
    if (!value.is_array())
        failType(path, "a list", value);
}

void expectStringList(const Record& value, const std::string& path) {
    expectList(value, path);
    for (std::size_t i = 0; i < value.size(); ++i)
        expectString(value[i], element(path, i));
}

const Record& requireKey(const Record& map, const std::string& key, const std::string& prefix) {
    if (map.is_object()) {
        auto it = map.find(key);
        if (it != map.end())
            return *it;
    }
    throw ConfigError(fileName() + ": missing key '" + prefix + key + "'");
}

}  // namespace dm::config

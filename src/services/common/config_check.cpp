#include "services/common/config_check.hpp"

#include "core/error.hpp"
#include "core/ip_network.hpp"
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

std::string missingText(const std::string& path, const std::string& expected) {
    // The path may hold map keys of the document: shown escaped, as values are.
    return fileName() + ": " + text::escapeControl(path) + ": missing, expected " + expected;
}

std::string typeText(const std::string& path, const std::string& expected, const Record& found) {
    return fileName() + ": " + text::escapeControl(path) + ": expected " + expected + ", found " +
           describe(found);
}

void failMissing(const std::string& path, const std::string& expected) {
    throw ConfigError(missingText(path, expected));
}

void failType(const std::string& path, const std::string& expected, const Record& found) {
    throw ConfigError(typeText(path, expected, found));
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

void checkName(const std::string& value, const std::string& path, Problems& problems) {
    if (text::hasControl(value))
        problems.type(path, "a name without control characters", Record(value));
}

void checkGatewayName(const std::string& value, const std::string& path, Problems& problems) {
    if (value.empty() || value.find('/') != std::string::npos ||
        value.find("..") != std::string::npos || text::hasControl(value)) {
        problems.type(path,
                      "a gateway name (not empty, without \"/\", \"..\" or control characters)",
                      Record(value));
    }
}

namespace {
bool isCidr(std::string_view value) {
    try {
        IpNetwork::parse(value);
        return true;
    } catch (const Error&) {
        return false;
    }
}
}  // namespace

void checkCidr(const Record& value, const std::string& path, Problems& problems) {
    if (!value.is_string()) {
        problems.type(path, "a string", value);
    } else if (!isCidr(value.get<std::string>())) {
        problems.type(path, "a CIDR such as 10.0.0.0/8", value);
    }
}

void checkCidrText(const std::string& value, const std::string& path, Problems& problems) {
    bool bad = text::hasControl(value);
    for (const std::string& item : text::split(value, ',')) {
        const std::string cidr = text::trim(item);
        bad = bad || (!cidr.empty() && !isCidr(cidr));
    }
    if (bad) {
        problems.type(path, "CIDRs separated by \",\", such as 10.0.0.0/16,10.1.0.0/16",
                      Record(value));
    }
}

DocumentProblems::DocumentProblems(std::vector<std::string> lines)
    : ConfigError(text::join(lines, "\n")), lines_(std::move(lines)) {}

void Problems::throwIfAny() const {
    if (!lines_.empty())
        throw DocumentProblems(lines_);
}

}  // namespace dm::config

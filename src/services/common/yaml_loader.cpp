// Loading the discovery YAML under the YAML 1.2 core schema, and checking its shape.

#include <yaml-cpp/yaml.h>

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <set>

#include "core/error.hpp"
#include "core/ip_network.hpp"
#include "services/common/common.hpp"
#include "services/common/config_check.hpp"
#include "services/common/options_table.hpp"
#include "services/context/run_context.hpp"

namespace dm {

namespace {

constexpr const char* kTagPrefix = "tag:yaml.org,2002:";

std::string at(const std::string& path, const YAML::Mark& mark) {
    if (mark.is_null())
        return path;
    return path + ":" + std::to_string(mark.line + 1) + ":" + std::to_string(mark.column + 1);
}

Record parseInteger(std::string_view text, int base) {
    std::string_view digits = text;
    bool negative = false;
    if (!digits.empty() && (digits[0] == '+' || digits[0] == '-')) {
        negative = digits[0] == '-';
        digits.remove_prefix(1);
    }
    if (base != 10)
        digits.remove_prefix(2);  // "0x" / "0o"
    uint64_t magnitude = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude, base);
    if (ec == std::errc() && end == digits.data() + digits.size()) {
        if (!negative) {
            if (magnitude <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
                return static_cast<int64_t>(magnitude);
            }
            return magnitude;
        }
        if (magnitude <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) + 1) {
            return static_cast<int64_t>(0 - magnitude);
        }
    }
    // Too large for 64 bits: keep the value as a float rather than lose it silently.
    double value = 0;
    for (char c : digits)
        value = value * base + (std::isdigit(c) ? c - '0' : (c | 0x20) - 'a' + 10);
    return negative ? -value : value;
}

Record parseFloat(const std::string& text) {
    std::string lower;
    for (char c : text)
        lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower == ".nan")
        return std::numeric_limits<double>::quiet_NaN();
    if (lower == ".inf" || lower == "+.inf")
        return std::numeric_limits<double>::infinity();
    if (lower == "-.inf")
        return -std::numeric_limits<double>::infinity();
    return std::strtod(text.c_str(), nullptr);
}

bool isDigit(char c, int base) {
    if (base == 8)
        return c >= '0' && c <= '7';
    if (base == 16)
        return std::isxdigit(static_cast<unsigned char>(c)) != 0;
    return c >= '0' && c <= '9';
}

// Consumes digits of `base` from `pos`; returns how many.
std::size_t digits(std::string_view s, std::size_t& pos, int base) {
    std::size_t start = pos;
    while (pos < s.size() && isDigit(s[pos], base))
        ++pos;
    return pos - start;
}

bool isInteger(std::string_view s, int base) {
    std::size_t pos = 0;
    if (base == 10) {
        if (pos < s.size() && (s[pos] == '+' || s[pos] == '-'))
            ++pos;
    } else {
        if (s.size() < 2 || s[0] != '0' || s[1] != (base == 8 ? 'o' : 'x'))
            return false;
        pos = 2;
    }
    return digits(s, pos, base) > 0 && pos == s.size();
}

// [-+]? ( \.[0-9]+ | [0-9]+ ( \.[0-9]* )? ) ( [eE] [-+]? [0-9]+ )?
bool isDecimalFloat(std::string_view s) {
    std::size_t pos = 0;
    if (pos < s.size() && (s[pos] == '+' || s[pos] == '-'))
        ++pos;
    std::size_t whole = digits(s, pos, 10);
    std::size_t fraction = 0;
    if (pos < s.size() && s[pos] == '.') {
        ++pos;
        fraction = digits(s, pos, 10);
        if (whole == 0 && fraction == 0)
            return false;
    } else if (whole == 0) {
        return false;
    }
    if (pos < s.size() && (s[pos] == 'e' || s[pos] == 'E')) {
        ++pos;
        if (pos < s.size() && (s[pos] == '+' || s[pos] == '-'))
            ++pos;
        if (digits(s, pos, 10) == 0)
            return false;
    }
    return pos == s.size();
}

bool oneOf(std::string_view s, std::initializer_list<std::string_view> options) {
    for (auto o : options) {
        if (s == o)
            return true;
    }
    return false;
}

// The core schema's resolution of a plain scalar; nullopt when it is a plain string.
std::optional<Record> resolvePlain(const std::string& s) {
    if (s.empty() || oneOf(s, {"~", "null", "Null", "NULL"}))
        return Record(nullptr);
    if (oneOf(s, {"true", "True", "TRUE"}))
        return Record(true);
    if (oneOf(s, {"false", "False", "FALSE"}))
        return Record(false);
    if (isInteger(s, 10))
        return parseInteger(s, 10);
    if (isInteger(s, 8))
        return parseInteger(s, 8);
    if (isInteger(s, 16))
        return parseInteger(s, 16);
    std::string_view unsigned_ = s;
    if (s[0] == '+' || s[0] == '-')
        unsigned_.remove_prefix(1);
    if (isDecimalFloat(s) || oneOf(unsigned_, {".inf", ".Inf", ".INF"}) ||
        oneOf(s, {".nan", ".NaN", ".NAN"})) {
        return parseFloat(s);
    }
    return std::nullopt;
}

Record scalarToRecord(const YAML::Node& node, const std::string& file) {
    const std::string& tag = node.Tag();
    const std::string& value = node.Scalar();
    // yaml-cpp tags plain scalars "?" and quoted or block scalars "!".
    if (tag == "?") {
        auto resolved = resolvePlain(value);
        return resolved ? *resolved : Record(value);
    }
    if (tag.rfind(kTagPrefix, 0) == 0 && tag != std::string(kTagPrefix) + "str") {
        std::string kind = tag.substr(std::strlen(kTagPrefix));
        auto resolved = resolvePlain(value);
        bool fits = resolved && ((kind == "null" && resolved->is_null()) ||
                                 (kind == "bool" && resolved->is_boolean()) ||
                                 (kind == "int" && resolved->is_number_integer()) ||
                                 (kind == "float" && resolved->is_number()));
        if (kind == "float" && fits)
            return resolved->get<double>();
        if (fits)
            return *resolved;
        throw ConfigError(at(file, node.Mark()) + ": \"" + value + "\" is not a valid !!" + kind);
    }
    return value;
}

Record toRecord(const YAML::Node& node, const std::string& file) {
    switch (node.Type()) {
        case YAML::NodeType::Null:
        case YAML::NodeType::Undefined:
            return nullptr;
        case YAML::NodeType::Scalar:
            return scalarToRecord(node, file);
        case YAML::NodeType::Sequence: {
            Record list = Record::array();
            for (const auto& item : node)
                list.push_back(toRecord(item, file));
            return list;
        }
        case YAML::NodeType::Map: {
            Record map = Record::object();
            for (const auto& entry : node) {
                if (!entry.first.IsScalar() && !entry.first.IsNull()) {
                    throw ConfigError(at(file, entry.first.Mark()) + ": map keys must be scalars");
                }
                std::string key = entry.first.IsNull() ? "" : entry.first.Scalar();
                if (map.contains(key)) {
                    throw ConfigError(at(file, entry.first.Mark()) + ": duplicate key \"" + key +
                                      "\"");
                }
                map[key] = toRecord(entry.second, file);
            }
            return map;
        }
    }
    return nullptr;
}

void checkLevel(const Record& map, const std::string& key, const std::string& mapPath) {
    auto level = config::optString(map, key, mapPath);
    static const std::set<std::string> known = {"debug", "info",     "warning", "warn",
                                                "error", "critical", "notset"};
    if (level) {
        std::string lower;
        for (char c : *level)
            lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (!known.count(lower)) {
            config::failType(config::child(mapPath, key),
                             "a level (DEBUG, INFO, WARNING, ERROR or CRITICAL)", Record(*level));
        }
    }
}

void checkOptionalStrings(const Record& map, const std::string& mapPath,
                          std::initializer_list<const char*> keys) {
    for (const char* key : keys)
        config::optString(map, key, mapPath);
}

void checkCidrList(const Record& doc) {
    const Record* cidrs = config::find(doc, "allow_vnet_cidrs", "");
    if (!cidrs)
        return;
    config::expectStringList(*cidrs, "allow_vnet_cidrs");
    for (std::size_t i = 0; i < cidrs->size(); ++i) {
        try {
            IpNetwork::parse((*cidrs)[i].get<std::string>());
        } catch (const Error&) {
            config::failType(config::element("allow_vnet_cidrs", i), "a CIDR such as 10.0.0.0/8",
                             (*cidrs)[i]);
        }
    }
}

void checkAzure(const Record& doc) {
    const Record* azure = config::find(doc, "azure", "");
    if (!azure)
        return;
    config::expectMap(*azure, "azure");
    checkOptionalStrings(*azure, "azure",
                         {"ca_bundle", "authority_host", "resource_manager", "token_scope",
                          "tenant_id", "client_id", "client_secret_env", "client_secret_file"});
    auto cloud = config::optString(*azure, "cloud", "azure");
    if (!cloud)
        return;
    if (*cloud == "custom") {
        config::requireString(*azure, "authority_host", "azure");
        config::requireString(*azure, "resource_manager", "azure");
    } else if (*cloud != "public" && *cloud != "china" && *cloud != "usgovernment") {
        config::failType("azure.cloud", "one of public, china, usgovernment, custom",
                         Record(*cloud));
    }
}

void checkSubscriptions(const Record& doc) {
    const Record* subs = config::find(doc, "subscriptions", "");
    if (!subs)
        return;
    config::expectList(*subs, "subscriptions");
    for (std::size_t i = 0; i < subs->size(); ++i) {
        std::string path = config::element("subscriptions", i);
        config::expectMap((*subs)[i], path);
        config::requireString((*subs)[i], "subscription_id", path);
        checkOptionalStrings(
            (*subs)[i], path,
            {"alias", "tenant_id", "client_id", "client_secret_env", "client_secret_file"});
    }
}

// Per-VNet option overrides, and the gateway names that configure_gw_name makes necessary.
void checkVnet(const Record& vnet, const std::string& path, bool globalConfigureGwName) {
    config::expectMap(vnet, path);
    config::requireString(vnet, "vnet_name", path);
    const Record& tlvx = config::require(vnet, "tlvx_cidr", path, "a string (may be empty)");
    config::expectString(tlvx, config::child(path, "tlvx_cidr"));
    for (const auto& option : options::all()) {
        if (!option.perVnet)
            continue;
        auto it = vnet.find(option.yamlKey);
        if (it == vnet.end() || it->is_null())
            continue;
        options::check(option, *it, config::child(path, option.yamlKey));
    }
    bool configureGwName =
        config::optBool(vnet, "configure_gw_name", path).value_or(globalConfigureGwName);
    if (configureGwName) {
        config::requireString(vnet, "spoke_gw_name", path);
        config::requireString(vnet, "transit_gw_name", path);
    } else {
        checkOptionalStrings(vnet, path, {"spoke_gw_name", "transit_gw_name"});
    }
}

void checkAccounts(const Record& doc, bool globalConfigureGwName) {
    const Record& accounts = config::require(doc, "account_info", "", "a list of accounts");
    config::expectList(accounts, "account_info");
    for (std::size_t i = 0; i < accounts.size(); ++i) {
        std::string path = config::element("account_info", i);
        const Record& account = accounts[i];
        config::expectMap(account, path);
        config::requireString(account, "subscription_id", path);
        for (const char* key : {"vwan", "hpe", "max_hpe_performance"}) {
            if (!account.contains(key)) {
                config::failMissing(config::child(path, key), "a value (null is allowed)");
            }
        }
        const Record& vnets = config::require(account, "vnets", path, "a list of VNets");
        config::expectList(vnets, config::child(path, "vnets"));
        for (std::size_t j = 0; j < vnets.size(); ++j) {
            checkVnet(vnets[j], config::element(config::child(path, "vnets"), j),
                      globalConfigureGwName);
        }
    }
}

}  // namespace

Record Common::convert_yaml_to_json(const std::string& path) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        throw ConfigError(path + ": cannot read YAML file: Is a directory");
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw ConfigError(path + ": cannot read YAML file: " + std::strerror(errno));
    }
    YAML::Node root;
    try {
        root = YAML::Load(in);
    } catch (const YAML::Exception& e) {
        throw ConfigError(at(path, e.mark) + ": malformed YAML: " + e.msg);
    }
    RunContext& run = currentRun();
    run.inputPath = path;
    run.document = toRecord(root, path);
    return run.document;
}

const Record& Common::document() {
    return currentRun().document;
}

void Common::expectYamlType(const Record& doc, const std::string& type) {
    const Record* found = doc.is_object() ? config::find(doc, "document_type", "") : nullptr;
    if (!found) {
        throw ConfigError(config::fileName() + ": document_type: expected \"" + type +
                          "\", found none");
    }
    if (!found->is_string() || found->get<std::string>() != type) {
        throw ConfigError(config::fileName() + ": document_type: expected \"" + type +
                          "\", found " +
                          (found->is_string() ? "\"" + found->get<std::string>() + "\""
                                              : config::describe(*found)));
    }
    validateDocument(doc);
}

void Common::validateDocument(const Record& doc) {
    if (!doc.is_object())
        config::failType("(document)", "a map", doc);

    if (const Record* log = config::find(doc, "log", "")) {
        config::expectMap(*log, "log");
        checkOptionalStrings(*log, "log", {"folder", "file_name"});
        checkLevel(*log, "console_level", "log");
        checkLevel(*log, "file_level", "log");
    }
    if (const Record* tf = config::find(doc, "terraform", "")) {
        config::expectMap(*tf, "terraform");
        checkOptionalStrings(*tf, "terraform", {"output_folder"});
    }

    const Record& telvane = config::require(doc, "telvane", "", "a map");
    config::expectMap(telvane, "telvane");
    config::requireString(telvane, "controller_ip", "telvane");
    config::requireString(telvane, "private_ip", "telvane");
    checkOptionalStrings(telvane, "telvane",
                         {"ca_bundle", "user", "password_env", "password_file"});

    checkAzure(doc);
    checkSubscriptions(doc);
    checkCidrList(doc);
    if (const Record* s3 = config::find(doc, "s3", "")) {
        config::expectMap(*s3, "s3");
        checkOptionalStrings(*s3, "s3",
                             {"bucket", "region", "account", "role", "endpoint_url", "prefix",
                              "sts_endpoint_url", "ca_bundle"});
    }

    const Record& sw = config::require(doc, "switch_traffic", "", "a map");
    config::expectMap(sw, "switch_traffic");
    for (const auto& option : options::all()) {
        std::string path = config::child("switch_traffic", option.yamlKey);
        auto it = sw.find(option.yamlKey);
        bool absent =
            it == sw.end() || (it->is_null() && option.kind != options::Kind::NullableString &&
                               option.kind != options::Kind::TextOrStringList);
        if (absent) {
            if (!option.defaultValue) {
                config::failMissing(path, option.kind == options::Kind::Bool
                                              ? "a boolean (true or false)"
                                              : "a string");
            }
            continue;
        }
        options::check(option, *it, path);
    }

    checkAccounts(doc, config::optBool(sw, "configure_gw_name", "switch_traffic").value_or(false));
}

}  // namespace dm

// Common: getters of the global record, option records, the controller credential and the
// account folder.

#include "services/common/common.hpp"

#include <filesystem>

#include "core/error.hpp"
#include "core/text.hpp"
#include "services/common/config_check.hpp"
#include "services/common/options_table.hpp"
#include "services/common/secret_source.hpp"
#include "services/common/yaml_context.hpp"
#include "services/context/run_context.hpp"
#include "services/terraform/terraform.hpp"

namespace dm {

namespace fs = std::filesystem;

namespace {

constexpr const char* kDefaultPasswordEnv = "DM_CTRL_PASSWORD";

const Record& section(const Record& doc, const std::string& name) {
    static const Record none;
    const Record* found = config::find(doc, name, "");
    if (!found)
        return none;
    config::expectMap(*found, name);
    return *found;
}

// The switch_traffic value of an option, else its default.
Record globalValue(const Record& doc, const options::Option& option) {
    const Record& sw = section(doc, "switch_traffic");
    std::string path = config::child("switch_traffic", option.yamlKey);
    const Record* value = config::find(sw, option.yamlKey, "switch_traffic");
    if (!value) {
        if (!option.defaultValue)
            config::failMissing(path, "a value");
        return *option.defaultValue;
    }
    options::check(option, *value, path);
    return options::normalise(option, *value);
}

}  // namespace

std::pair<std::string, std::string> Common::getCtrlCredential(const CommandOptions& options) {
    return getCtrlCredential(options, document());
}

std::pair<std::string, std::string> Common::getCtrlCredential(const CommandOptions& options,
                                                              const Record& doc) {
    const Record& telvane = section(doc, "telvane");
    std::string user;
    if (options.ctrl_user && !options.ctrl_user->empty()) {
        user = *options.ctrl_user;
    } else if (auto fromYaml = config::optString(telvane, "user", "telvane")) {
        user = *fromYaml;
    } else {
        config::failMissing("telvane.user", "a string (or the --ctrl_user option)");
    }

    std::string envName =
        config::optString(telvane, "password_env", "telvane").value_or(kDefaultPasswordEnv);
    if (auto password = secret::fromEnv(envName))
        return {user, *password};

    if (auto file = config::optString(telvane, "password_file", "telvane")) {
        try {
            return {user, secret::fromFile(*file, "controller password")};
        } catch (const ConfigError& e) {
            throw ConfigError(config::fileName() + ": telvane.password_file: " + e.what());
        }
    }
    if (auto typed = secret::fromTerminal("Controller password for " + user + ": ")) {
        return {user, *typed};
    }
    throw ConfigError(config::fileName() +
                      ": no controller password: set the environment variable " + envName +
                      ", name a file in telvane.password_file, or run from a terminal");
}

Record Common::getAllowVpcCidr(const Record& doc) {
    Record result = Record::array();
    const Record* cidrs = config::find(doc, "allow_vnet_cidrs", "");
    if (!cidrs)
        return result;
    config::expectStringList(*cidrs, "allow_vnet_cidrs");
    for (std::size_t i = 0; i < cidrs->size(); ++i) {
        try {
            result.push_back(IpNetwork::parse((*cidrs)[i].get<std::string>()).toString());
        } catch (const Error&) {
            config::failType(config::element("allow_vnet_cidrs", i), "a CIDR such as 10.0.0.0/8",
                             (*cidrs)[i]);
        }
    }
    return result;
}

std::vector<IpNetwork> Common::toNetworks(const Record& cidrTexts) {
    std::vector<IpNetwork> networks;
    if (!cidrTexts.is_array())
        throw Error("allowed VNet CIDRs: expected a list of CIDR texts");
    for (const Record& text : cidrTexts) {
        if (!text.is_string())
            throw Error("allowed VNet CIDRs: " + text.dump() + " is no CIDR");
        networks.push_back(IpNetwork::parse(text.get<std::string>()));
    }
    return networks;
}

Record Common::getAzureSubscriptionInfo(const Record& doc) {
    Record map = Record::object();
    const Record* subs = config::find(doc, "subscriptions", "");
    if (!subs)
        return map;
    config::expectList(*subs, "subscriptions");
    for (std::size_t i = 0; i < subs->size(); ++i) {
        std::string path = config::element("subscriptions", i);
        config::expectMap((*subs)[i], path);
        std::string id = config::requireString((*subs)[i], "subscription_id", path);
        map[id] = (*subs)[i];
    }
    return map;
}

std::string Common::getControllerPrivateIp(const Record& doc) {
    return config::requireString(section(doc, "telvane"), "private_ip", "telvane");
}

std::optional<std::string> Common::getControllerCaBundle(const Record& doc) {
    return config::optString(section(doc, "telvane"), "ca_bundle", "telvane");
}

Record Common::getPreStageDefaultRouteTable(const Record& doc) {
    return globalValue(doc, *options::byYamlKey("default_route_table"));
}

Record Common::getTransitPeeringMap(const Record& doc) {
    return globalValue(doc, *options::byYamlKey("transit_peering"));
}

bool Common::getSWDeleteVnetLock(const Record& doc) {
    return globalValue(doc, *options::byYamlKey("delete_vnet_lock")).get<bool>();
}

void Common::readGlobalConfigOption(const Record& doc, Record& record) {
    for (const auto& option : options::all()) {
        if (!option.inRecord || record.contains(option.recordKey))
            continue;
        record[option.recordKey] = globalValue(doc, option);
    }
}

Record Common::getSubscription(const Record& subscriptionMap, const std::string& subId,
                               const Record& accountEntry) {
    Record info = Record::object();
    if (auto entry = lookup(subscriptionMap, subId); entry && entry->is_object())
        info = *entry;
    info["subscription_id"] = subId;
    if (auto alias = lookup(accountEntry, "alias"); alias && alias->is_string()) {
        info["alias"] = *alias;
    } else if (!info.contains("alias") || !info["alias"].is_string() ||
               info["alias"].get<std::string>().empty()) {
        info["alias"] = subId;
    }
    return info;
}

std::string Common::getTargetLocation(const Record& subInfo, const Record& doc) {
    std::string folder =
        config::requireString(section(doc, "terraform"), "output_folder", "terraform");
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    std::string name;
    if (auto alias = lookup(subInfo, "alias");
        alias && alias->is_string() && !alias->get<std::string>().empty()) {
        name = alias->get<std::string>();
    } else if (auto id = lookup(subInfo, "subscription_id"); id && id->is_string()) {
        name = id->get<std::string>();
    } else {
        throw ConfigError("subscription information has neither \"alias\" nor \"subscription_id\"");
    }
    return folder + "/" + name;
}

void Common::setupTargetFolder(const Record& /*doc*/, const std::string& inputPath,
                               const std::string& folder) {
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec || !fs::is_directory(folder)) {
        throw Error("cannot create account folder " + folder + ": " +
                    (ec ? ec.message() : std::string("not a directory")));
    }
    fs::path target = fs::path(folder) / fs::path(inputPath).filename();
    // Copying a file onto itself would truncate it.
    if (!fs::equivalent(inputPath, target, ec)) {
        fs::copy_file(inputPath, target, fs::copy_options::overwrite_existing, ec);
        if (ec) {
            throw Error("cannot copy " + inputPath + " to " + target.string() + ": " +
                        ec.message());
        }
    }
    currentRun().accountFolder = folder;
}

void Common::readVnetOption(const Record& vnetMap, const std::string& vnetName,
                            Record& optionRecord) {
    Record entry;
    if (auto found = lookup(vnetMap, vnetName); found && found->is_object())
        entry = *found;
    std::string path = "vnet " + vnetName;

    for (const auto& option : options::all()) {
        if (!option.inRecord)
            continue;
        auto it = entry.is_object() ? entry.find(option.yamlKey) : entry.end();
        bool nullable = option.kind == options::Kind::NullableString ||
                        option.kind == options::Kind::TextOrStringList ||
                        option.kind == options::Kind::ListMap;
        bool set = option.perVnet && entry.is_object() && it != entry.end() &&
                   (!it->is_null() || nullable);
        if (set) {
            options::check(option, *it, config::child(path, option.yamlKey));
            optionRecord[option.recordKey] = options::normalise(option, *it);
        } else if (!optionRecord.contains(option.recordKey)) {
            optionRecord[option.recordKey] = option.defaultValue.value_or(Record());
        }
    }

    if (entry.is_object() && entry.contains("max_hpe_performance")) {
        const Record& v = entry["max_hpe_performance"];
        optionRecord["max_hpe_performance"] = v.is_null() ? Record() : Record(lowerTextForm(v));
    } else if (!optionRecord.contains("max_hpe_performance")) {
        optionRecord["max_hpe_performance"] = nullptr;
    }
    for (const char* key : {"spoke_gw_name", "transit_gw_name"}) {
        auto v = lookup(entry, key);
        optionRecord[key] = v ? *v : Record();
    }
}

std::optional<std::string> Common::getMainTablePrefix(const std::string& vnetName) {
    Record prefixes = YamlContext().getGlobalContext("main_table_prefix");
    if (auto prefix = lookup(prefixes, vnetName);
        prefix && prefix->is_string() && !prefix->get<std::string>().empty()) {
        return prefix->get<std::string>();
    }
    return std::nullopt;
}

bool Common::isBeforeSwitchTraffic(const std::string& tfPath) {
    return terraform::isBeforeSwitchTraffic(tfPath);
}

}  // namespace dm

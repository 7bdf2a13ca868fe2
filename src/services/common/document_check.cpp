// The check of the whole discovery document at start-up, before anything is changed: one pass
// that collects every problem, one line each, naming the file, the key path and what was
// expected (docs/discovery-yaml.md lists the rules).

#include <algorithm>
#include <cctype>
#include <set>

#include "core/error.hpp"
#include "core/ip_network.hpp"
#include "core/text.hpp"
#include "services/common/common.hpp"
#include "services/common/config_check.hpp"
#include "services/common/options_table.hpp"
#include "services/common/yaml_context.hpp"

namespace dm {

namespace {

using config::child;
using config::element;

// The spoke gateway's subnet: its address names the derived gateway, and it is advertised.
bool isIpv4Cidr(const std::string& text) {
    if (text.find('/') == std::string::npos)
        return false;
    try {
        return IpNetwork::parse(text).family() == IpNetwork::Family::V4;
    } catch (const Error&) {
        return false;
    }
}

class DocumentCheck {
  public:
    explicit DocumentCheck(config::Problems& problems) : problems_(problems) {}

    void run(const Record& doc) {
        if (!doc.is_object()) {
            problems_.type("(document)", "a map", doc);
            return;
        }
        if (const Record* log = section(doc, "log")) {
            optionalStrings(*log, "log", {"folder", "file_name"});
            level(*log, "console_level", "log");
            level(*log, "file_level", "log");
        }
        if (const Record* terraform = section(doc, "terraform"))
            optionalStrings(*terraform, "terraform", {"output_folder"});
        if (const Record* telvane = section(doc, "telvane", "a map")) {
            for (const char* key : {"controller_ip", "private_ip"})
                problems_.check([&] { config::requireString(*telvane, key, "telvane"); });
            optionalStrings(*telvane, "telvane",
                            {"ca_bundle", "user", "password_env", "password_file"});
        }
        azure(doc);
        subscriptions(doc);
        allowedCidrs(doc);
        if (const Record* s3 = section(doc, "s3")) {
            optionalStrings(*s3, "s3",
                            {"bucket", "region", "account", "role", "endpoint_url", "prefix",
                             "sts_endpoint_url", "ca_bundle"});
        }
        const bool configureGwName = switchTraffic(doc);
        accounts(doc, configureGwName);
    }

  private:
    // The map (or, with `wantList`, the list) at `key` of `map`, at `path`; null, with a problem
    // noted, when it is of another kind, or when it is absent and `required` says what was
    // expected.
    const Record* container(const Record& map, const char* key, const std::string& path,
                            bool wantList, const char* required) {
        auto it = map.find(key);
        if (it == map.end() || it->is_null()) {
            if (required)
                problems_.missing(path, required);
            return nullptr;
        }
        if (wantList ? !it->is_array() : !it->is_object()) {
            problems_.type(path, wantList ? "a list" : "a map", *it);
            return nullptr;
        }
        return &*it;
    }
    const Record* section(const Record& doc, const char* key, const char* required = nullptr) {
        return container(doc, key, key, false, required);
    }
    const Record* list(const Record& map, const char* key, const std::string& path,
                       const char* required = nullptr) {
        return container(map, key, path, true, required);
    }

    void optionalStrings(const Record& map, const std::string& mapPath,
                         std::initializer_list<const char*> keys) {
        for (const char* key : keys)
            problems_.check([&] { config::optString(map, key, mapPath); });
    }

    void level(const Record& map, const char* key, const std::string& mapPath) {
        static const std::set<std::string> known = {"debug", "info",     "warning", "warn",
                                                    "error", "critical", "notset"};
        problems_.check([&] {
            auto level = config::optString(map, key, mapPath);
            if (level && !known.count(text::toLower(*level))) {
                config::failType(child(mapPath, key),
                                 "a level (DEBUG, INFO, WARNING, ERROR or CRITICAL)",
                                 Record(*level));
            }
        });
    }

    void pathName(const Record& map, const char* key, const std::string& mapPath,
                  bool required = false) {
        problems_.check([&] {
            auto name = required ? std::optional(config::requireString(map, key, mapPath))
                                 : config::optString(map, key, mapPath);
            // Names that become folder or file names (the account folder "<output_folder>/<alias>",
            // a VNet's "<vnet_name>.tf") must stay one segment inside their folder.
            if (name && !text::isSafePathName(*name)) {
                config::failType(child(mapPath, key),
                                 "a name without \"/\", \"\\\", control characters, and not "
                                 "\".\" or \"..\"",
                                 Record(*name));
            }
        });
    }

    void azure(const Record& doc) {
        const Record* azure = section(doc, "azure");
        if (!azure)
            return;
        optionalStrings(
            *azure, "azure",
            {"ca_bundle", "authority_host", "resource_manager", "token_scope", "tenant_id",
             "client_id", "client_secret_env", "client_secret_file", "managed_identity_host"});
        credential(*azure, "azure", nullptr);
        problems_.check([&] {
            auto cloud = config::optString(*azure, "cloud", "azure");
            if (cloud == "custom") {
                for (const char* key : {"authority_host", "resource_manager"})
                    problems_.check([&] { config::requireString(*azure, key, "azure"); });
            } else if (cloud && *cloud != "public" && *cloud != "china" &&
                       *cloud != "usgovernment") {
                config::failType("azure.cloud", "one of public, china, usgovernment, custom",
                                 Record(*cloud));
            }
        });
    }

    void subscriptions(const Record& doc) {
        const Record* subs = list(doc, "subscriptions", "subscriptions");
        if (!subs)
            return;
        for (std::size_t i = 0; i < subs->size(); ++i) {
            const std::string path = element("subscriptions", i);
            const Record& entry = (*subs)[i];
            if (!entry.is_object()) {
                problems_.type(path, "a map", entry);
                continue;
            }
            pathName(entry, "subscription_id", path, true);
            pathName(entry, "alias", path);
            optionalStrings(entry, path,
                            {"tenant_id", "client_id", "client_secret_env", "client_secret_file"});
            const Record* azure =
                doc.contains("azure") && doc["azure"].is_object() ? &doc["azure"] : nullptr;
            credential(entry, path, azure ? azure : &kNone);
        }
    }

    // The `credential` of the azure section (`defaults` null) or of a subscription entry: a
    // known kind, with the keys it needs.
    void credential(const Record& map, const std::string& path, const Record* defaults) {
        optionalStrings(map, path,
                        {"credential", "client_certificate_file", "client_certificate_password_env",
                         "client_certificate_password_file", "federated_token_file"});
        std::optional<std::string> kind;
        try {
            kind = config::optString(map, "credential", path);
        } catch (const ConfigError&) {
            return;  // noted above
        }
        if (!kind)
            return;
        if (std::find(std::begin(kCredentialKinds), std::end(kCredentialKinds), *kind) ==
            std::end(kCredentialKinds)) {
            problems_.type(child(path, "credential"),
                           "one of client_secret, client_certificate, workload_identity, "
                           "managed_identity, azure_cli, default",
                           Record(*kind));
            return;
        }
        auto has = [](const Record& m, const char* key) {
            auto it = m.find(key);
            return it != m.end() && it->is_string();
        };
        if (*kind == "client_secret" || *kind == "client_certificate" ||
            *kind == "workload_identity") {
            if (!has(map, "client_id"))
                problems_.missing(child(path, "client_id"), "a string");
            // A subscription's tenant may come from the azure section.
            if (defaults && !has(map, "tenant_id") && !has(*defaults, "tenant_id"))
                problems_.missing(child(path, "tenant_id"), "a string (or azure.tenant_id)");
        }
        if (*kind == "client_secret" && !has(map, "client_secret_env") &&
            !has(map, "client_secret_file")) {
            problems_.missing(child(path, "client_secret_env"), "a string (or client_secret_file)");
        }
        if (*kind == "client_certificate" && !has(map, "client_certificate_file"))
            problems_.missing(child(path, "client_certificate_file"), "a string");
    }

    void allowedCidrs(const Record& doc) {
        const Record* cidrs = list(doc, "allow_vnet_cidrs", "allow_vnet_cidrs");
        if (!cidrs)
            return;
        for (std::size_t i = 0; i < cidrs->size(); ++i)
            config::checkCidr((*cidrs)[i], element("allow_vnet_cidrs", i), problems_);
    }

    // The global options; returns the global configure_gw_name.
    bool switchTraffic(const Record& doc) {
        const Record* sw = section(doc, "switch_traffic", "a map");
        if (!sw)
            return false;
        for (const auto& option : options::all()) {
            const std::string path = child("switch_traffic", option.yamlKey);
            auto it = sw->find(option.yamlKey);
            const bool absent =
                it == sw->end() || (it->is_null() && option.kind != options::Kind::NullableString &&
                                    option.kind != options::Kind::TextOrStringList);
            if (!absent) {
                options::check(option, *it, path, problems_);
            } else if (!option.defaultValue) {
                problems_.missing(path, option.kind == options::Kind::Bool
                                            ? "a boolean (true or false)"
                                            : "a string");
            }
        }
        auto gw = sw->find("configure_gw_name");
        return gw != sw->end() && gw->is_boolean() && gw->get<bool>();
    }

    void accounts(const Record& doc, bool configureGwName) {
        const Record* all = list(doc, "account_info", "account_info", "a list of accounts");
        if (!all)
            return;
        for (std::size_t i = 0; i < all->size(); ++i)
            account((*all)[i], element("account_info", i), configureGwName);
    }

    // A value kept as text ("hpe", "max_hpe_performance"): any scalar, never a list or a map.
    void scalar(const Record& value, const std::string& path) {
        if (value.is_array() || value.is_object())
            problems_.type(path, "a text, a boolean, a number or null", value);
    }

    void account(const Record& account, const std::string& path, bool configureGwName) {
        if (!account.is_object()) {
            problems_.type(path, "a map", account);
            return;
        }
        pathName(account, "subscription_id", path, true);
        pathName(account, "alias", path);
        for (const char* key : {"vwan", "hpe", "max_hpe_performance"}) {
            if (!account.contains(key))
                problems_.missing(child(path, key), "a value (null is allowed)");
        }
        if (account.contains("vwan"))
            vwan(account["vwan"], child(path, "vwan"));
        for (const char* key : {"hpe", "max_hpe_performance"}) {
            if (account.contains(key))
                scalar(account[key], child(path, key));
        }
        const std::string vnetsPath = child(path, "vnets");
        if (const Record* vnets = list(account, "vnets", vnetsPath, "a list of VNets")) {
            for (std::size_t j = 0; j < vnets->size(); ++j)
                vnet((*vnets)[j], element(vnetsPath, j), configureGwName);
        }
    }

    // Where the VNet's hub connections are looked for: null or a boolean (the default search),
    // a subscription id, or a list of them.
    void vwan(const Record& value, const std::string& path) {
        bool valid = value.is_null() || value.is_boolean() ||
                     (value.is_string() && !text::hasControl(value.get<std::string>())) ||
                     (value.is_array() && !value.empty());
        if (value.is_array()) {
            for (const Record& id : value) {
                valid = valid && id.is_string() && !id.get<std::string>().empty() &&
                        !text::hasControl(id.get<std::string>());
            }
        }
        if (!valid) {
            problems_.type(path, "null, a boolean, a subscription id or a list of subscription ids",
                           value);
        }
    }

    void vnet(const Record& vnet, const std::string& path, bool globalConfigureGwName) {
        if (!vnet.is_object()) {
            problems_.type(path, "a map", vnet);
            return;
        }
        pathName(vnet, "vnet_name", path, true);
        problems_.check([&] {
            const Record& tlvx =
                config::require(vnet, "tlvx_cidr", path, "a string (may be empty)");
            const std::string tlvxPath = child(path, "tlvx_cidr");
            config::expectString(tlvx, tlvxPath);
            if (!tlvx.get<std::string>().empty() && !isIpv4Cidr(tlvx.get<std::string>()))
                config::failType(tlvxPath, "an IPv4 CIDR such as 10.1.0.0/26, or \"\"", tlvx);
        });
        for (const auto& option : options::all()) {
            if (!option.perVnet)
                continue;
            auto it = vnet.find(option.yamlKey);
            if (it != vnet.end() && !it->is_null())
                options::check(option, *it, child(path, option.yamlKey), problems_);
        }
        auto own = vnet.find("configure_gw_name");
        const bool configureGwName =
            own != vnet.end() && own->is_boolean() ? own->get<bool>() : globalConfigureGwName;
        for (const char* key : {"spoke_gw_name", "transit_gw_name"}) {
            // Used only when configure_gw_name is true; they must then be real names.
            problems_.check([&] {
                if (configureGwName) {
                    config::checkGatewayName(config::requireString(vnet, key, path),
                                             child(path, key), problems_);
                } else if (auto name = config::optString(vnet, key, path)) {
                    config::checkName(*name, child(path, key), problems_);
                }
            });
        }
        if (vnet.contains("max_hpe_performance"))
            scalar(vnet["max_hpe_performance"], child(path, "max_hpe_performance"));
    }

    config::Problems& problems_;
    inline static const Record kNone = Record::object();
};

}  // namespace

void Common::validateDocument(const Record& doc) {
    config::Problems problems;
    DocumentCheck(problems).run(doc);
    problems.throwIfAny();
}

}  // namespace dm

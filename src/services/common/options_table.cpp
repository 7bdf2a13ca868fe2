#include "services/common/options_table.hpp"

#include "core/text.hpp"
#include "services/common/config_check.hpp"

namespace dm::options {

const std::vector<Option>& all() {
    static const std::vector<Option> table = {
        {"delete_peering", "delete_peering", Kind::String, std::nullopt, false, false},
        {"manage_terraform_import", "manage_terraform_import", Kind::Bool, std::nullopt, false,
         false},
        {"delete_vnet_lock", "delete_vnet_lock", Kind::Bool, Record(false), true, true},
        // A suffix of route-table names.
        {"default_route_table", "default_route_table", Kind::NullableString, Record(nullptr), true,
         true, Holds::Names},
        // Transit gateway name -> its peer transit gateway.
        {"transit_peering", "transitPeeringMap", Kind::StringMap, Record::object(), false, true,
         Holds::GatewayNames},
        {"manage_propagate_gateway_routes", "manage_propagate_gateway_routes", Kind::Bool,
         Record(false), false, true},
        {"configure_gw_name", "configure_gw_name", Kind::Bool, Record(false), true, true},
        {"configure_subnet_groups", "configure_subnet_groups", Kind::Bool, Record(false), true,
         true},
        {"configure_staging_attachment", "configure_staging_attachment", Kind::Bool, Record(false),
         true, true},
        {"migrate_non_associated_subnet", "migrate_non_associated_subnet", Kind::Bool, Record(true),
         true, true},
        {"configure_shared_route_table_replication", "configure_shared_route_table_replication",
         Kind::Number, Record(0), false, true},
        {"domain", "domain", Kind::NullableString, Record(nullptr), true, true, Holds::Names},
        {"spoke_advertisement", "spoke_advertisement", Kind::TextOrStringList, Record(nullptr),
         true, true, Holds::Cidrs},
        {"subnet_in_subnet_groups", "subnet_in_subnet_groups", Kind::StringList, Record::array(),
         true, true, Holds::Names},
        {"subnet_groups", "subnet_groups", Kind::ListMap, Record(nullptr), true, true,
         Holds::Names},
        // VNet name -> prefix of its main route tables. Read through YamlContext by
        // getMainTablePrefix; not part of the records.
        {"main_table_prefix", "main_table_prefix", Kind::StringMap, Record::object(), false, false,
         Holds::Names},
    };
    return table;
}

const Option* byYamlKey(const std::string& key) {
    for (const Option& o : all()) {
        if (o.yamlKey == key)
            return &o;
    }
    return nullptr;
}

namespace {

// The rule of the option for one text it holds: a value, a list item or a map key. A list of
// CIDRs is joined with ",", so an item may hold several as a text does.
void checkText(Holds holds, const std::string& text, const std::string& path,
               config::Problems& problems) {
    switch (holds) {
        case Holds::Anything:
            break;
        case Holds::Names:
            config::checkName(text, path, problems);
            break;
        case Holds::GatewayNames:
            config::checkGatewayName(text, path, problems);
            break;
        case Holds::Cidrs:
            config::checkCidrText(text, path, problems);
            break;
    }
}

void checkStrings(Holds holds, const Record& list, const std::string& path,
                  config::Problems& problems) {
    if (!list.is_array()) {
        problems.type(path, "a list", list);
        return;
    }
    for (std::size_t i = 0; i < list.size(); ++i) {
        const std::string itemPath = config::element(path, i);
        if (list[i].is_string()) {
            checkText(holds, list[i].get<std::string>(), itemPath, problems);
        } else {
            problems.type(itemPath, "a string", list[i]);
        }
    }
}

}  // namespace

void check(const Option& option, const Record& value, const std::string& path,
           config::Problems& problems) {
    const Holds holds = option.holds;
    switch (option.kind) {
        case Kind::Bool:
            if (!value.is_boolean())
                problems.type(path, "a boolean (true or false)", value);
            break;
        case Kind::NullableString:
            if (value.is_null())
                break;
            [[fallthrough]];
        case Kind::String:
            if (value.is_string()) {
                checkText(holds, value.get<std::string>(), path, problems);
            } else {
                problems.type(path, "a string", value);
            }
            break;
        case Kind::Number:
            if (!value.is_number())
                problems.type(path, "a number", value);
            break;
        case Kind::StringList:
            checkStrings(holds, value, path, problems);
            break;
        case Kind::StringMap:
            if (!value.is_object()) {
                problems.type(path, "a map", value);
                break;
            }
            for (const auto& [key, item] : value.items()) {
                const std::string itemPath = config::child(path, key);
                checkText(holds, key, itemPath, problems);
                if (item.is_string()) {
                    checkText(holds, item.get<std::string>(), itemPath, problems);
                } else {
                    problems.type(itemPath, "a string", item);
                }
            }
            break;
        case Kind::ListMap:
            if (value.is_null())
                break;
            if (!value.is_object()) {
                problems.type(path, "a map", value);
                break;
            }
            for (const auto& [key, list] : value.items()) {
                const std::string itemPath = config::child(path, key);
                checkText(holds, key, itemPath, problems);
                checkStrings(holds, list, itemPath, problems);
            }
            break;
        case Kind::TextOrStringList:
            if (value.is_array()) {
                checkStrings(holds, value, path, problems);
            } else if (value.is_string()) {
                checkText(holds, value.get<std::string>(), path, problems);
            } else if (!value.is_null()) {
                problems.type(path, "a string or a list of strings", value);
            }
            break;
    }
}

void check(const Option& option, const Record& value, const std::string& path) {
    config::Problems problems;
    check(option, value, path, problems);
    problems.throwIfAny();
}

Record normalise(const Option& option, const Record& value) {
    if (option.kind == Kind::TextOrStringList && value.is_array()) {
        std::vector<std::string> parts;
        for (const Record& v : value)
            parts.push_back(v.get<std::string>());
        return text::join(parts, ",");
    }
    return value;
}

}  // namespace dm::options

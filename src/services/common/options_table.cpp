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
        {"default_route_table", "default_route_table", Kind::NullableString, Record(nullptr), true,
         true},
        {"transit_peering", "transitPeeringMap", Kind::StringMap, Record::object(), false, true},
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
        {"domain", "domain", Kind::NullableString, Record(nullptr), true, true},
        {"spoke_advertisement", "spoke_advertisement", Kind::TextOrStringList, Record(nullptr),
         true, true},
        {"subnet_in_subnet_groups", "subnet_in_subnet_groups", Kind::StringList, Record::array(),
         true, true},
        {"subnet_groups", "subnet_groups", Kind::ListMap, Record(nullptr), true, true},
        // Read through YamlContext by getMainTablePrefix; not part of the records.
        {"main_table_prefix", "main_table_prefix", Kind::StringMap, Record::object(), false, false},
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

void check(const Option& option, const Record& value, const std::string& path) {
    switch (option.kind) {
        case Kind::Bool:
            config::expectBool(value, path);
            break;
        case Kind::String:
            config::expectString(value, path);
            break;
        case Kind::NullableString:
            if (!value.is_null())
                config::expectString(value, path);
            break;
        case Kind::Number:
            config::expectNumber(value, path);
            break;
        case Kind::StringList:
            config::expectStringList(value, path);
            break;
        case Kind::StringMap:
            config::expectMap(value, path);
            for (const auto& [k, v] : value.items())
                config::expectString(v, config::child(path, k));
            break;
        case Kind::ListMap:
            if (value.is_null())
                break;
            config::expectMap(value, path);
            for (const auto& [k, v] : value.items())
                config::expectStringList(v, config::child(path, k));
            break;
        case Kind::TextOrStringList:
            if (value.is_array()) {
                config::expectStringList(value, path);
            } else if (!value.is_null() && !value.is_string()) {
                config::failType(path, "a string or a list of strings", value);
            }
            break;
    }
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

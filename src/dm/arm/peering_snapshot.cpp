#include "dm/arm/peering_snapshot.hpp"

namespace dm::arm {
namespace {

// Snapshot values may nest maps keyed by SDK names too ("remote_address_space":
// {"address_prefixes": [...]}); ARM wants camelCase at every level.
Record camelCaseKeys(const Record& value) {
    if (value.is_object()) {
        Record out = Record::object();
        for (const auto& [k, v] : value.items())
            out[azure::camelCaseKey(k)] = camelCaseKeys(v);
        return out;
    }
    if (value.is_array()) {
        Record out = Record::array();
        for (const auto& v : value)
            out.push_back(camelCaseKeys(v));
        return out;
    }
    return value;
}

}  // namespace

Record peeringSnapshot(const azure::VirtualNetworkPeering& peering) {
    auto flag = [](std::optional<bool> f) { return f ? Record(*f) : Record(); };
    const auto remote = peering.remote_virtual_network();
    return Record{
        {"id", peering.id()},
        {"name", peering.name()},
        {"allow_virtual_network_access", flag(peering.allow_virtual_network_access())},
        {"allow_forwarded_traffic", flag(peering.allow_forwarded_traffic())},
        {"allow_gateway_transit", flag(peering.allow_gateway_transit())},
        {"use_remote_gateways", flag(peering.use_remote_gateways())},
        {"remote_virtual_network", {{"id", remote ? Record(*remote) : Record()}}},
    };
}

azure::VirtualNetworkPeering peeringFromSnapshot(const Record& snapshot) {
    azure::VirtualNetworkPeering peering;
    if (!snapshot.is_object())
        return peering;
    Record& json = peering.json();
    // Looked up at each use: adding a top-level key may move the properties object.
    auto properties = [&json]() -> Record& { return json["properties"]; };
    for (const auto& [key, value] : snapshot.items()) {
        if (value.is_null())
            continue;
        if (key == "id" || key == "name" || key == "type" || key == "etag") {
            json[key] = value;
        } else if (key == "properties" && value.is_object()) {
            // Already in ARM's shape: keep it as it is.
            for (const auto& [k, v] : value.items())
                properties()[k] = v;
        } else {
            properties()[azure::camelCaseKey(key)] = camelCaseKeys(value);
        }
    }
    return peering;
}

}  // namespace dm::arm

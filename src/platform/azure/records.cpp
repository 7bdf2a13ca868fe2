#include "platform/azure/records.hpp"

#include "platform/azure/detail.hpp"

#include <utility>

namespace dm::azure {

std::string camelCaseKey(const std::string& key) {
    std::string out;
    out.reserve(key.size());
    bool upper = false;
    for (char c : key) {
        if (c == '_' && !out.empty()) {
            upper = true;
            continue;
        }
        if (upper && c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
        upper = false;
        out += c;
    }
    return out;
}

Resource::Resource() : json_(Record::object()) {}

Resource::Resource(Record json) : json_(std::move(json)) {
    if (json_.is_null())
        json_ = Record::object();
}

std::string Resource::id() const {
    return detail::stringAt(json_, "id").value_or("");
}

std::string Resource::name() const {
    return detail::stringAt(json_, "name").value_or("");
}

std::string Resource::type() const {
    return detail::stringAt(json_, "type").value_or("");
}

std::optional<std::string> Resource::location() const {
    return detail::stringAt(json_, "location");
}

std::optional<std::string> Resource::provisioning_state() const {
    return stringProperty("provisioningState");
}

Record Resource::tags() const {
    if (json_.is_object()) {
        auto it = json_.find("tags");
        if (it != json_.end() && it->is_object())
            return *it;
    }
    return nullptr;
}

std::optional<std::string> Resource::tag(const char* key) const {
    if (!json_.is_object())
        return std::nullopt;
    auto tags = json_.find("tags");
    if (tags == json_.end() || !tags->is_object())
        return std::nullopt;
    return detail::stringAt(*tags, key);
}

void Resource::set_tags(Record tags) {
    Record& json = this->json();
    if (!json.is_object())
        return;
    if (tags.is_null()) {
        json.erase("tags");
    } else {
        json["tags"] = std::move(tags);
    }
}

std::string Resource::toString() const {
    return std::string(kind()) + "(name=" + name() + ", id=" + id() + ")";
}

const Record* Resource::property(const char* key) const {
    const Record& json = this->json();
    if (!json.is_object())
        return nullptr;
    auto props = json.find("properties");
    if (props == json.end() || !props->is_object())
        return nullptr;
    auto it = props->find(key);
    if (it == props->end() || it->is_null())
        return nullptr;
    return &*it;
}

std::optional<std::string> Resource::referenceId(const char* key) const {
    const Record* ref = property(key);
    return ref ? detail::stringAt(*ref, "id") : std::nullopt;
}

void Resource::setReferenceId(const char* key, const std::optional<std::string>& id) {
    if (id) {
        properties()[key] = Record{{"id", *id}};
    } else if (json().is_object() && json().contains("properties")) {
        properties().erase(key);
    }
}

std::optional<bool> Resource::boolProperty(const char* key) const {
    const Record* value = property(key);
    if (!value || !value->is_boolean())
        return std::nullopt;
    return value->get<bool>();
}

void Resource::setBoolProperty(const char* key, std::optional<bool> value) {
    if (value) {
        properties()[key] = *value;
    } else if (json().is_object() && json().contains("properties")) {
        properties().erase(key);
    }
}

std::optional<std::string> Resource::stringProperty(const char* key) const {
    const Record* value = property(key);
    if (!value || !value->is_string())
        return std::nullopt;
    return value->get<std::string>();
}

std::vector<std::string> Resource::stringList(const Record* list) const {
    std::vector<std::string> out;
    if (!list || !list->is_array())
        return out;
    for (const auto& item : *list) {
        if (item.is_string())
            out.push_back(item.get<std::string>());
    }
    return out;
}

Record& Resource::properties() {
    Record& json = this->json();
    if (!json.is_object())
        json = Record::object();
    Record& props = json["properties"];
    if (!props.is_object())
        props = Record::object();
    return props;
}

std::ostream& operator<<(std::ostream& out, const Resource& resource) {
    return out << resource.toString();
}

// Subnet

std::optional<std::string> Subnet::address_prefix() const {
    return stringProperty("addressPrefix");
}

std::vector<std::string> Subnet::address_prefixes() const {
    return stringList(property("addressPrefixes"));
}

std::optional<std::string> Subnet::route_table() const {
    return referenceId("routeTable");
}

void Subnet::set_route_table(const RouteTable& table) {
    setReferenceId("routeTable", table.id());
}

void Subnet::set_route_table(const std::optional<std::string>& routeTableId) {
    setReferenceId("routeTable", routeTableId);
}

std::optional<std::string> Subnet::network_security_group() const {
    return referenceId("networkSecurityGroup");
}

// VirtualNetworkPeering

std::optional<std::string> VirtualNetworkPeering::remote_virtual_network() const {
    return referenceId("remoteVirtualNetwork");
}

void VirtualNetworkPeering::set_remote_virtual_network(const std::optional<std::string>& vnetId) {
    setReferenceId("remoteVirtualNetwork", vnetId);
}

std::optional<bool> VirtualNetworkPeering::allow_virtual_network_access() const {
    return boolProperty("allowVirtualNetworkAccess");
}

std::optional<bool> VirtualNetworkPeering::allow_forwarded_traffic() const {
    return boolProperty("allowForwardedTraffic");
}

std::optional<bool> VirtualNetworkPeering::allow_gateway_transit() const {
    return boolProperty("allowGatewayTransit");
}

std::optional<bool> VirtualNetworkPeering::use_remote_gateways() const {
    return boolProperty("useRemoteGateways");
}

void VirtualNetworkPeering::set_allow_virtual_network_access(std::optional<bool> value) {
    setBoolProperty("allowVirtualNetworkAccess", value);
}

void VirtualNetworkPeering::set_allow_forwarded_traffic(std::optional<bool> value) {
    setBoolProperty("allowForwardedTraffic", value);
}

void VirtualNetworkPeering::set_allow_gateway_transit(std::optional<bool> value) {
    setBoolProperty("allowGatewayTransit", value);
}

void VirtualNetworkPeering::set_use_remote_gateways(std::optional<bool> value) {
    setBoolProperty("useRemoteGateways", value);
}

std::optional<std::string> VirtualNetworkPeering::peering_state() const {
    return stringProperty("peeringState");
}

// VirtualNetwork

std::vector<std::string> VirtualNetwork::address_prefixes() const {
    const Record* space = property("addressSpace");
    if (!space || !space->is_object())
        return {};
    auto it = space->find("addressPrefixes");
    return it == space->end() ? std::vector<std::string>{} : stringList(&*it);
}

std::vector<Subnet> VirtualNetwork::subnets() const {
    std::vector<Subnet> out;
    const Record* list = property("subnets");
    if (list && list->is_array()) {
        for (const auto& item : *list)
            out.emplace_back(item);
    }
    return out;
}

std::vector<VirtualNetworkPeering> VirtualNetwork::virtual_network_peerings() const {
    std::vector<VirtualNetworkPeering> out;
    const Record* list = property("virtualNetworkPeerings");
    if (list && list->is_array()) {
        for (const auto& item : *list)
            out.emplace_back(item);
    }
    return out;
}

// RouteTable

std::optional<bool> RouteTable::disable_bgp_route_propagation() const {
    return boolProperty("disableBgpRoutePropagation");
}

void RouteTable::set_disable_bgp_route_propagation(std::optional<bool> value) {
    setBoolProperty("disableBgpRoutePropagation", value);
}

std::optional<std::vector<Subnet>> RouteTable::subnets() const {
    const Record* list = property("subnets");
    if (!list || !list->is_array())
        return std::nullopt;
    std::vector<Subnet> out;
    for (const auto& item : *list)
        out.emplace_back(item);
    return out;
}

Record RouteTable::routes() const {
    const Record* list = property("routes");
    return list && list->is_array() ? *list : Record::array();
}

// ManagementLockObject

std::string ManagementLockObject::level() const {
    return stringProperty("level").value_or("");
}

std::optional<std::string> ManagementLockObject::notes() const {
    return stringProperty("notes");
}

// VirtualHub

std::optional<std::string> VirtualHub::address_prefix() const {
    return stringProperty("addressPrefix");
}

std::optional<std::string> VirtualHub::virtual_wan() const {
    return referenceId("virtualWan");
}

// HubVirtualNetworkConnection

std::optional<std::string> HubVirtualNetworkConnection::remote_virtual_network() const {
    return referenceId("remoteVirtualNetwork");
}

void HubVirtualNetworkConnection::set_remote_virtual_network(
    const std::optional<std::string>& vnetId) {
    setReferenceId("remoteVirtualNetwork", vnetId);
}

std::optional<bool> HubVirtualNetworkConnection::enable_internet_security() const {
    return boolProperty("enableInternetSecurity");
}

Record HubVirtualNetworkConnection::routing_configuration() const {
    const Record* config = property("routingConfiguration");
    return config ? *config : Record(nullptr);
}

Record HubVirtualNetworkConnection::writeBody() const {
    Record body = json();
    if (!body.is_object())
        return body;
    auto props = body.find("properties");
    if (props == body.end() || !props->is_object())
        return body;
    auto config = props->find("routingConfiguration");
    if (config == props->end() || !config->is_object())
        return body;
    auto routes = config->find("vnetRoutes");
    if (routes != config->end() && routes->is_object())
        routes->erase("bgpConnections");
    return body;
}

}  // namespace dm::azure

#pragma once
// Resource records: the JSON that ARM returned, read and changed through the field names of the
// Azure network SDK (`route_table`, `use_remote_gateways`...). A write sends the whole record
// back, so properties this tool does not know survive an update.

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "core/record.hpp"

namespace dm::azure {

// What every ARM resource has: id, name, type, location, tags, and the `properties` bag.
class Resource {
  public:
    Resource();
    explicit Resource(Record json);
    virtual ~Resource() = default;
    Resource(const Resource&) = default;
    Resource(Resource&&) = default;
    Resource& operator=(const Resource&) = default;
    Resource& operator=(Resource&&) = default;

    // The resource id; "" only for a record built locally that has none yet.
    std::string id() const;
    // The resource name; "" only for a record built locally that has none yet.
    std::string name() const;
    std::string type() const;
    // The region; nullopt for child resources (subnets, peerings) that have none.
    std::optional<std::string> location() const;
    std::optional<std::string> provisioning_state() const;
    // The tag map, or JSON null when the resource has no tags.
    Record tags() const;
    // The tag's text; nullopt when the resource lacks the tag or its value is no text.
    std::optional<std::string> tag(const char* key) const;
    // Replaces the tags; null removes them.
    void set_tags(Record tags);

    // The whole record as ARM returned it (with local changes).
    const Record& json() const { return json_; }
    Record& json() { return json_; }

    // The body a PUT of this record sends: the record itself, minus the few fields ARM
    // computes and refuses to take back (see the subclasses).
    virtual Record writeBody() const { return json(); }

    // "<Kind>(name=<name>, id=<id>)": enough to recognise the record in a log line.
    std::string toString() const;

  protected:
    virtual const char* kind() const { return "Resource"; }

    // properties.<key>, or nullptr when the record lacks it or holds null there.
    const Record* property(const char* key) const;
    // properties.<key>.id of a sub-resource reference.
    std::optional<std::string> referenceId(const char* key) const;
    void setReferenceId(const char* key, const std::optional<std::string>& id);
    std::optional<bool> boolProperty(const char* key) const;
    void setBoolProperty(const char* key, std::optional<bool> value);
    std::optional<std::string> stringProperty(const char* key) const;
    std::vector<std::string> stringList(const Record* list) const;
    // The `properties` object, created when missing.
    Record& properties();

  private:
    Record json_;
};

std::ostream& operator<<(std::ostream& out, const Resource& resource);

class RouteTable;

class Subnet : public Resource {
  public:
    using Resource::Resource;

    std::optional<std::string> address_prefix() const;
    // properties.addressPrefixes; empty when absent.
    std::vector<std::string> address_prefixes() const;
    // Id of the associated route table; nullopt when the subnet has none.
    std::optional<std::string> route_table() const;
    // Associates the table: only its id is written, which is all ARM reads of it.
    void set_route_table(const RouteTable& table);
    // Associates the table with that id; nullopt removes the association (a PUT without
    // routeTable leaves the subnet with no route table).
    void set_route_table(const std::optional<std::string>& routeTableId);
    std::optional<std::string> network_security_group() const;

  protected:
    const char* kind() const override { return "Subnet"; }
};

class VirtualNetworkPeering : public Resource {
  public:
    using Resource::Resource;

    // Id of the peered VNet; nullopt when absent.
    std::optional<std::string> remote_virtual_network() const;
    void set_remote_virtual_network(const std::optional<std::string>& vnetId);
    // The four flags are nullopt when the record does not carry them.
    std::optional<bool> allow_virtual_network_access() const;
    std::optional<bool> allow_forwarded_traffic() const;
    std::optional<bool> allow_gateway_transit() const;
    std::optional<bool> use_remote_gateways() const;
    // Setters write the flag; nullopt removes it.
    void set_allow_virtual_network_access(std::optional<bool> value);
    void set_allow_forwarded_traffic(std::optional<bool> value);
    void set_allow_gateway_transit(std::optional<bool> value);
    void set_use_remote_gateways(std::optional<bool> value);
    // "Initiated", "Connected" or "Disconnected"; nullopt when absent.
    std::optional<std::string> peering_state() const;

  protected:
    const char* kind() const override { return "VirtualNetworkPeering"; }
};

class VirtualNetwork : public Resource {
  public:
    using Resource::Resource;

    // address_space.address_prefixes; empty when absent.
    std::vector<std::string> address_prefixes() const;
    std::vector<Subnet> subnets() const;
    std::vector<VirtualNetworkPeering> virtual_network_peerings() const;

  protected:
    const char* kind() const override { return "VirtualNetwork"; }
};

class RouteTable : public Resource {
  public:
    using Resource::Resource;

    // nullopt when the record does not carry the flag.
    std::optional<bool> disable_bgp_route_propagation() const;
    void set_disable_bgp_route_propagation(std::optional<bool> value);
    // References (id only) of the subnets that use the table; nullopt when absent.
    std::optional<std::vector<Subnet>> subnets() const;
    // properties.routes as ARM returned them; an empty list when absent.
    Record routes() const;

  protected:
    const char* kind() const override { return "RouteTable"; }
};

class ManagementLockObject : public Resource {
  public:
    using Resource::Resource;

    // "CanNotDelete", "ReadOnly" or "NotSpecified"; "" when absent.
    std::string level() const;
    std::optional<std::string> notes() const;

  protected:
    const char* kind() const override { return "ManagementLockObject"; }
};

class VirtualHub : public Resource {
  public:
    using Resource::Resource;

    std::optional<std::string> address_prefix() const;
    // Id of the virtual WAN the hub belongs to; nullopt when absent.
    std::optional<std::string> virtual_wan() const;

  protected:
    const char* kind() const override { return "VirtualHub"; }
};

class HubVirtualNetworkConnection : public Resource {
  public:
    using Resource::Resource;

    // Id of the spoke VNet the connection attaches; nullopt when absent.
    std::optional<std::string> remote_virtual_network() const;
    void set_remote_virtual_network(const std::optional<std::string>& vnetId);
    std::optional<bool> enable_internet_security() const;
    // properties.routingConfiguration as ARM returned it, or null.
    Record routing_configuration() const;

    // The stored record minus routingConfiguration.vnetRoutes.bgpConnections, which the
    // service reports but does not take as input.
    Record writeBody() const override;

  protected:
    const char* kind() const override { return "HubVirtualNetworkConnection"; }
};

// snake_case to camelCase ("allow_gateway_transit" -> "allowGatewayTransit"); other text is
// returned unchanged.
std::string camelCaseKey(const std::string& key);

}  // namespace dm::azure

#pragma once
// Items of ARM list answers. A whole-subscription listing is read mostly for a name, an id or a
// tag of each item, and only the few items that match are needed whole; so an item stays in its
// list page's compact form (see core/json.hpp) and answers those reads from there, and the
// typed record is built on request. Every read gives what the same read of the typed record
// gives.

#include <concepts>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/json.hpp"
#include "core/record.hpp"
#include "platform/azure/records.hpp"

namespace dm::azure {

// What every listed resource answers without being built.
class ListedResource {
  public:
    explicit ListedResource(JsonListItem item) : item_(std::move(item)) {}

    // As the Resource getters of the same names.
    std::string id() const;
    std::string name() const;
    std::string type() const;
    std::optional<std::string> location() const;
    std::optional<std::string> provisioning_state() const;
    Record tags() const;
    std::optional<std::string> tag(const char* key) const;

    // properties.<key> when it is text or a boolean, and properties.<key>.id of a sub-resource
    // reference; nullopt when absent, null or of another kind.
    std::optional<std::string> stringProperty(const char* key) const;
    std::optional<bool> boolProperty(const char* key) const;
    std::optional<std::string> referenceId(const char* key) const;

    // name(), id(), tag() and referenceId() viewed in the listing, for scans over every item:
    // valid while the item or a copy lives.
    std::string_view nameView() const;
    std::string_view idView() const;
    std::optional<std::string_view> tagView(const char* key) const;
    std::optional<std::string_view> referenceIdView(const char* key) const;

    // The whole item, built now.
    Record json() const { return item_.toRecord(); }

  private:
    JsonListItem item_;
};

// A listed resource of kind T (RouteTable, VirtualNetwork...).
template <class T>
class ListItem : public ListedResource {
  public:
    using ListedResource::ListedResource;

    // The typed record, built now; take it for anything beyond the reads here.
    T resource() const { return T(json()); }

    // The typed reads made of every item of a listing.
    std::optional<std::string> remote_virtual_network() const requires
        std::same_as<T, VirtualNetworkPeering> || std::same_as<T, HubVirtualNetworkConnection> {
        return referenceId("remoteVirtualNetwork");
    }
    std::optional<std::string> route_table() const requires std::same_as<T, Subnet> {
        return referenceId("routeTable");
    }
};

// Every item of a listing built whole, for callers that use them all.
template <class T>
std::vector<T> resources(const std::vector<ListItem<T>>& items) {
    std::vector<T> out;
    out.reserve(items.size());
    for (const auto& item : items)
        out.push_back(item.resource());
    return out;
}

}  // namespace dm::azure

// Listed resources must answer their reads as the typed record built from the same item does,
// and the typed record they build must be the item whole.
#include <gtest/gtest.h>

#include "core/json.hpp"
#include "platform/azure/list_item.hpp"

namespace dm::azure {
namespace {

Record slowParse(const std::string& text) {
    return Record::parse(text);
}

template <class T>
std::vector<ListItem<T>> listOf(const std::string& items) {
    auto page = parseJsonListPage("{\"value\": [" + items + "]}", "value", "nextLink");
    EXPECT_TRUE(page);
    return {page->items.begin(), page->items.end()};
}

const std::string kPeering = R"({
    "id": "/subscriptions/s/resourceGroups/rg/providers/Microsoft.Network/virtualNetworks/v/virtualNetworkPeerings/p",
    "name": "p", "type": "Microsoft.Network/virtualNetworks/virtualNetworkPeerings",
    "etag": "W/\"1\"", "tags": {"k": "v"},
    "properties": {"remoteVirtualNetwork": {"id": "/subscriptions/s/resourceGroups/hub/providers/Microsoft.Network/virtualNetworks/hub"},
                   "allowGatewayTransit": true, "useRemoteGateways": false,
                   "peeringState": "Connected", "provisioningState": "Succeeded",
                   "remoteAddressSpace": {"addressPrefixes": ["10.0.0.0/16"]}, "unknown": {"x": [1]}}
})";

TEST(ListItemTest, ReadsAnswerAsTheTypedRecord) {
    const auto items = listOf<VirtualNetworkPeering>(kPeering);
    ASSERT_EQ(items.size(), 1u);
    const ListItem<VirtualNetworkPeering>& listed = items[0];
    const VirtualNetworkPeering parsed(slowParse(kPeering));
    EXPECT_EQ(listed.id(), parsed.id());
    EXPECT_EQ(listed.name(), parsed.name());
    EXPECT_EQ(listed.type(), parsed.type());
    EXPECT_EQ(listed.location(), parsed.location());
    EXPECT_EQ(listed.tags(), parsed.tags());
    EXPECT_EQ(listed.tag("k"), "v");
    EXPECT_EQ(listed.tag("absent"), parsed.tag("absent"));
    EXPECT_EQ(listed.remote_virtual_network(), parsed.remote_virtual_network());
    EXPECT_EQ(listed.boolProperty("allowGatewayTransit"), parsed.allow_gateway_transit());
    EXPECT_EQ(listed.boolProperty("useRemoteGateways"), parsed.use_remote_gateways());
    EXPECT_EQ(listed.stringProperty("peeringState"), parsed.peering_state());
    EXPECT_EQ(listed.provisioning_state(), parsed.provisioning_state());
    EXPECT_EQ(listed.resource().json(), parsed.json());
}

// A change to the built record keeps every field in the body sent back, and records built from
// one item are independent of each other.
TEST(ListItemTest, BuiltRecordsAreWholeAndIndependent) {
    const auto items = listOf<VirtualNetworkPeering>(kPeering);
    VirtualNetworkPeering changed = items[0].resource();
    changed.set_use_remote_gateways(true);
    Record expected = slowParse(kPeering);
    expected["properties"]["useRemoteGateways"] = true;
    EXPECT_EQ(changed.json(), expected);
    EXPECT_EQ(changed.writeBody(), VirtualNetworkPeering(expected).writeBody());

    VirtualNetworkPeering second = items[0].resource();
    second.set_tags(nullptr);
    EXPECT_EQ(items[0].resource().tags(), slowParse(kPeering)["tags"]);
}

// A name that is no text, tags that are no map, a null reference, an item that is no object.
TEST(ListItemTest, MissingOrMistypedFieldsReadAsAbsent) {
    const auto items = listOf<Subnet>(
        R"({"name": 5, "tags": "no", "properties": {"routeTable": null, "a": 1}}, 7)");
    ASSERT_EQ(items.size(), 2u);
    for (const auto& listed : items) {
        EXPECT_EQ(listed.name(), "");
        EXPECT_EQ(listed.id(), "");
        EXPECT_TRUE(listed.tags().is_null());
        EXPECT_FALSE(listed.tag("no"));
        EXPECT_FALSE(listed.route_table());
        EXPECT_FALSE(listed.location());
        EXPECT_FALSE(listed.provisioning_state());
        EXPECT_FALSE(listed.stringProperty("a"));
    }
    EXPECT_FALSE(Subnet(slowParse(R"({"tags": {"n": 1}})")).tag("n"));
    EXPECT_EQ(resources(items).size(), 2u);
}

}  // namespace
}  // namespace dm::azure

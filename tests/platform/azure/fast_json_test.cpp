// The fast reader must give exactly what a full parse gives, and list items read lazily must
// answer like parsed ones, before and after they are built.
#include <gtest/gtest.h>

#include <variant>

#include "platform/azure/fast_json.hpp"
#include "platform/azure/records.hpp"

namespace dm::azure {
namespace {

using detail::ListItem;
using detail::parseListPage;
using detail::parseObject;

Record slowParse(const std::string& text) {
    return Record::parse(text);
}

TEST(FastJsonTest, ObjectsReadAsAFullParseReadsThem) {
    const std::vector<std::string> bodies = {
        R"({"a": 1, "b": -2, "c": 1.5, "d": 1e3, "e": 18446744073709551615, "f": -0})",
        R"({"s": "tab\t quote\" slash\/ \u00e9 \ud83d\ude00", "n": null, "t": true, "f": false})",
        R"({"nested": {"list": [1, "two", {"three": [3]}, [], {}], "z": {"y": {"x": "w"}}}})",
        // A repeated key keeps its first place and the last value, as nlohmann does.
        R"({"k": 1, "other": 2, "k": 3})",
        R"({"id": "/subscriptions/s/resourceGroups/rg", "tags": {"b": "2", "a": "1"}})",
    };
    for (const auto& body : bodies) {
        auto fast = parseObject(body);
        ASSERT_TRUE(fast) << body;
        EXPECT_EQ(fast->dump(), slowParse(body).dump()) << body;
        EXPECT_EQ(*fast, slowParse(body)) << body;
    }
    // Integer kinds as nlohmann makes them: non-negative ones unsigned.
    auto numbers = parseObject(R"({"u": 5, "i": -5, "d": 5.0})");
    EXPECT_TRUE((*numbers)["u"].is_number_unsigned());
    EXPECT_TRUE((*numbers)["i"].is_number_integer());
    EXPECT_TRUE((*numbers)["d"].is_number_float());
}

TEST(FastJsonTest, TextsTheFastParserDeclinesFallBackOrFail) {
    // Beyond 64 bits: the full parser reads a double.
    auto big = parseObject(R"({"n": 123456789012345678901234567890})");
    ASSERT_TRUE(big);
    EXPECT_TRUE((*big)["n"].is_number_float());
    EXPECT_FALSE(parseObject(""));
    EXPECT_FALSE(parseObject("[1, 2]"));
    EXPECT_FALSE(parseObject("\"text\""));
    EXPECT_FALSE(parseObject("{\"a\": }"));
    EXPECT_FALSE(parseObject("<html>Bad gateway</html>"));
    EXPECT_FALSE(parseObject("{\"a\": \"\xff\"}"));  // not UTF-8
    EXPECT_FALSE(parseListPage("{\"value\": [}"));
    EXPECT_FALSE(parseListPage("[]"));
}

TEST(FastJsonTest, ListPagesKeepOrderAndNextLink) {
    auto page = parseListPage(
        R"({"value": [{"name": "a"}, 7, {"name": "b"}], "nextLink": "https://x/next?page=2"})");
    ASSERT_TRUE(page);
    ASSERT_EQ(page->items.size(), 3u);
    EXPECT_EQ(detail::toRecord(page->items[0]), slowParse(R"({"name": "a"})"));
    EXPECT_EQ(detail::toRecord(page->items[1]), Record(7));
    EXPECT_EQ(detail::toRecord(page->items[2]), slowParse(R"({"name": "b"})"));
    EXPECT_EQ(page->nextLink, "https://x/next?page=2");

    auto last = parseListPage(R"({"value": [], "nextLink": null})");
    ASSERT_TRUE(last);
    EXPECT_TRUE(last->items.empty());
    EXPECT_FALSE(last->nextLink);
    auto noValue = parseListPage(R"({"other": 1})");
    ASSERT_TRUE(noValue);
    EXPECT_TRUE(noValue->items.empty());

    // The fallback path gives the same page.
    const std::string wide = R"({"n": 123456789012345678901234567890})";
    auto slow = parseListPage(R"({"value": [)" + wide + R"(], "nextLink": "https://x/2"})");
    ASSERT_TRUE(slow);
    EXPECT_EQ(slow->nextLink, "https://x/2");
    ASSERT_EQ(slow->items.size(), 1u);
    EXPECT_EQ(detail::toRecord(slow->items[0]), slowParse(wide));
}

// A record read from a list page answers every accessor as the parsed record does, and a change
// after a lazy read keeps every field in the body sent back.
TEST(FastJsonTest, LazyRecordsAnswerAsParsedOnes) {
    const std::string item = R"({
        "id": "/subscriptions/s/resourceGroups/rg/providers/Microsoft.Network/virtualNetworks/v/virtualNetworkPeerings/p",
        "name": "p", "type": "Microsoft.Network/virtualNetworks/virtualNetworkPeerings",
        "etag": "W/\"1\"", "tags": {"k": "v"},
        "properties": {"remoteVirtualNetwork": {"id": "/subscriptions/s/resourceGroups/hub/providers/Microsoft.Network/virtualNetworks/hub"},
                       "allowGatewayTransit": true, "useRemoteGateways": false,
                       "peeringState": "Connected", "provisioningState": "Succeeded",
                       "remoteAddressSpace": {"addressPrefixes": ["10.0.0.0/16"]}, "unknown": {"x": [1]}}
    })";
    auto page = parseListPage("{\"value\": [" + item + "], \"nextLink\": null}");
    ASSERT_TRUE(page);
    auto* held = std::get_if<std::shared_ptr<const detail::LazyRecord>>(&page->items[0]);
    ASSERT_NE(held, nullptr);
    const auto lazyItem = *held;

    const VirtualNetworkPeering lazy(lazyItem);
    const VirtualNetworkPeering parsed(slowParse(item));
    page.reset();  // the items keep their page alive
    EXPECT_EQ(lazy.id(), parsed.id());
    EXPECT_EQ(lazy.name(), parsed.name());
    EXPECT_EQ(lazy.type(), parsed.type());
    EXPECT_EQ(lazy.location(), parsed.location());
    EXPECT_EQ(lazy.tags(), parsed.tags());
    EXPECT_EQ(lazy.tag("k"), parsed.tag("k"));
    EXPECT_EQ(lazy.tag("k"), "v");
    EXPECT_EQ(lazy.tag("absent"), parsed.tag("absent"));
    EXPECT_EQ(lazy.remote_virtual_network(), parsed.remote_virtual_network());
    EXPECT_EQ(lazy.allow_gateway_transit(), parsed.allow_gateway_transit());
    EXPECT_EQ(lazy.use_remote_gateways(), parsed.use_remote_gateways());
    EXPECT_EQ(lazy.provisioning_state(), parsed.provisioning_state());
    EXPECT_EQ(lazy.json(), parsed.json());

    VirtualNetworkPeering changed(lazyItem);
    EXPECT_EQ(changed.name(), "p");
    changed.set_use_remote_gateways(true);
    Record expected = slowParse(item);
    expected["properties"]["useRemoteGateways"] = true;
    EXPECT_EQ(changed.json(), expected);
    EXPECT_EQ(changed.writeBody(), VirtualNetworkPeering(expected).writeBody());

    // Copies share the page and are independent once changed.
    VirtualNetworkPeering copy(lazyItem);
    VirtualNetworkPeering second = copy;
    second.set_tags(nullptr);
    EXPECT_EQ(copy.tags(), parsed.tags());
    EXPECT_TRUE(second.tags().is_null());
}

TEST(FastJsonTest, LazyRecordsWithoutTheFieldsReadAsAbsent) {
    auto page = parseListPage(
        R"({"value": [{"name": 5, "tags": "no", "properties": {"routeTable": null, "a": 1}}]})");
    ASSERT_TRUE(page);
    const Subnet lazy(std::get<std::shared_ptr<const detail::LazyRecord>>(page->items[0]));
    EXPECT_EQ(lazy.name(), "");
    EXPECT_EQ(lazy.id(), "");
    EXPECT_TRUE(lazy.tags().is_null());
    EXPECT_FALSE(lazy.tag("no"));
    EXPECT_FALSE(Subnet(slowParse(R"({"tags": {"n": 1}})")).tag("n"));
    EXPECT_FALSE(lazy.route_table());
    EXPECT_FALSE(lazy.location());
    EXPECT_FALSE(lazy.provisioning_state());
}

}  // namespace
}  // namespace dm::azure

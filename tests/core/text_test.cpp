#include <gtest/gtest.h>

#include "core/error.hpp"
#include "core/record.hpp"
#include "core/resource_id.hpp"
#include "core/text.hpp"

TEST(TextForm, ScalarsReadAsWritten) {
    using dm::Record;
    EXPECT_EQ(dm::lowerTextForm(Record(true)), "true");
    EXPECT_EQ(dm::lowerTextForm(Record(false)), "false");
    EXPECT_EQ(dm::lowerTextForm(Record("FALSE")), "false");
    EXPECT_EQ(dm::textForm(Record(42)), "42");
    EXPECT_EQ(dm::textForm(Record(-3)), "-3");
    EXPECT_EQ(dm::textForm(Record(2.5)), "2.5");
    EXPECT_EQ(dm::textForm(Record(nullptr)), "null");
    EXPECT_EQ(dm::textForm(Record("Mixed Case")), "Mixed Case");
}

TEST(ResourceId, FieldsSitAtTheirPositions) {
    const std::string id =
        "/subscriptions/sub-1/resourceGroups/rg-a/providers/Microsoft.Network/virtualNetworks/"
        "vnet-1/virtualNetworkPeerings/peer-x";
    using L = dm::ResourceIdLayout;
    EXPECT_EQ(dm::resourceIdField(id, L::SUB_I), "sub-1");
    EXPECT_EQ(dm::resourceIdField(id, L::RG_I), "rg-a");
    EXPECT_EQ(dm::resourceIdField(id, L::VNET_I), "vnet-1");
    EXPECT_EQ(dm::resourceIdField(id, L::PEER_I), "peer-x");
    EXPECT_EQ(dm::resourceName(id), "peer-x");
    EXPECT_EQ(dm::resourceName("plain"), "plain");
    EXPECT_THROW(dm::resourceIdField("/subscriptions/s", L::RG_I), dm::Error);
}

TEST(Text, SplitKeepsEmptyFields) {
    EXPECT_EQ(dm::text::split("a//b", '/'), (std::vector<std::string>{"a", "", "b"}));
    EXPECT_EQ(dm::text::split("", ','), (std::vector<std::string>{""}));
    EXPECT_EQ(dm::text::join({"a", "b"}, ","), "a,b");
    EXPECT_TRUE(dm::text::iequals("Microsoft.Network", "microsoft.network"));
}

TEST(Text, ControlCharactersAreShownEscaped) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"plain name-1 \\ \"q\"", "plain name-1 \\ \"q\""},
        {"a\nb\r\tc", "a\\nb\\r\\tc"},
        {std::string("nul\0x", 5), "nul\\x00x"},
        {"\x1b[31mred\x7f", "\\x1b[31mred\\x7f"},
        {"c1 \xc2\x85 \xc2\x9b end", "c1 \\u0085 \\u009b end"},
        {"keeps \xc2\xa0 and \xc3\xa9", "keeps \xc2\xa0 and \xc3\xa9"},
        {"cut \xc2", "cut \xc2"},
    };
    for (const auto& [in, out] : cases) {
        EXPECT_EQ(dm::text::escapeControl(in), out) << out;
        EXPECT_EQ(dm::text::hasControl(in), in != out) << out;
    }
}

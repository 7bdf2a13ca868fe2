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

// The library fixture reaches the emulator with the toolkit's own credentials.
#include "library_fixture.hpp"

namespace {

const std::string kSub = "11111111-aaaa-bbbb-cccc-000000000001";

class FixtureTest : public dm::testing::LibraryFixture {};

TEST_F(FixtureTest, CredentialsFromTheDocumentReachTheEmulator) {
    startCloud({{"subscriptions",
                 {{{"id", kSub},
                   {"resourceGroups",
                    {{{"name", "rg-spoke"},
                      {"virtualNetworks",
                       {{{"name", "spoke-a"}, {"addressPrefixes", {"10.1.0.0/16"}}},
                        {{"name", "spoke-b"}, {"addressPrefixes", {"10.2.0.0/16"}}},
                        {{"name", "spoke-c"}, {"addressPrefixes", {"10.3.0.0/16"}}}}}}}}}}}});
    auto vnets = client(kSub).virtual_networks.list_all();
    ASSERT_EQ(vnets.size(), 3u);  // over two pages
    EXPECT_EQ(vnets[0].name(), "spoke-a");
    EXPECT_EQ(vnet(kSub, "rg-spoke", "spoke-c").address_prefixes(),
              std::vector<std::string>{"10.3.0.0/16"});
    EXPECT_TRUE(writeLog().empty());
    EXPECT_EQ(cloud().counters()["token_grants"], 1);
}

}  // namespace

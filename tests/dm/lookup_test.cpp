// Resource lookups against the emulator: a VNet by name, and the Resource Graph query as sent.
#include "library_fixture.hpp"

#include <mutex>

#include "platform/azure/credential.hpp"
#include "platform/http/http.hpp"

namespace {

using dm::Record;
using dm::arm::SwitchTraffic;
using dm::emu::Json;

const std::string kSub = "77777777-aaaa-bbbb-cccc-000000000007";
const std::string kOtherSub = "88888888-aaaa-bbbb-cccc-000000000008";

std::string vnetId(const std::string& sub, const std::string& group, const std::string& name) {
    return "/subscriptions/" + sub + "/resourceGroups/" + group +
           "/providers/Microsoft.Network/virtualNetworks/" + name;
}

std::string gatewayQuery(const std::string& subnetId) {
    return "Resources | where type =~ 'Microsoft.Network/virtualNetworkGateways' | mvexpand "
           "nics=properties.networkProfile | mvexpand ipconfig=properties.ipConfigurations | "
           "where ipconfig.properties.subnet.id =~ '" +
           subnetId + "' | project properties.gatewayType";
}

// Passes every request on and keeps the Resource Graph ones.
class RecordingTransport : public dm::http::Transport {
  public:
    explicit RecordingTransport(std::shared_ptr<dm::http::Transport> inner)
        : inner_(std::move(inner)) {}
    dm::http::Response send(const dm::http::Request& request) override {
        if (request.url.find("Microsoft.ResourceGraph") != std::string::npos) {
            std::lock_guard lock(mu_);
            queries_.push_back(request);
        }
        return inner_->send(request);
    }
    std::vector<dm::http::Request> queries() const {
        std::lock_guard lock(mu_);
        return queries_;
    }

  private:
    std::shared_ptr<dm::http::Transport> inner_;
    mutable std::mutex mu_;
    std::vector<dm::http::Request> queries_;
};

Json vnetNode(const std::string& name, const std::string& cidr) {
    return {{"name", name}, {"addressPrefixes", {cidr}}};
}

// Two VNets named "app": the one in rg-b is listed first (creation order), on the second page.
Json topology() {
    return {{"subscriptions",
             {{{"id", kSub},
               {"resourceGroups",
                {{{"name", "rg-b"},
                  {"virtualNetworks",
                   {vnetNode("web", "10.1.0.0/16"), vnetNode("db", "10.2.0.0/16"),
                    vnetNode("app", "10.3.0.0/16")}}},
                 {{"name", "rg-a"},
                  {"virtualNetworks", {vnetNode("app", "10.4.0.0/16")}},
                  {"virtualNetworkGateways",
                   {{{"name", "vng-a"}, {"gatewayType", "Vpn"}, {"virtualNetwork", "app"}}}}}}}},
              {{"id", kOtherSub},
               {"resourceGroups",
                {{{"name", "rg-x"},
                  {"virtualNetworks", {vnetNode("far", "10.5.0.0/16")}},
                  {"virtualNetworkGateways",
                   {{{"name", "vng-far"},
                     {"gatewayType", "ExpressRoute"},
                     {"virtualNetwork", "far"}}}}}}}}}}};
}

class LookupTest : public dm::testing::LibraryFixture {
  protected:
    void SetUp() override {
        LibraryFixture::SetUp();
        startCloud(topology());
    }
};

TEST_F(LookupTest, GetVnetReturnsTheFirstListedMatchAndComparesCase) {
    auto net = client(kSub);
    auto found = SwitchTraffic::getVnet("app", net);
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->id(), vnetId(kSub, "rg-b", "app"));
    EXPECT_EQ(found->resource().address_prefixes(), std::vector<std::string>{"10.3.0.0/16"});

    EXPECT_FALSE(SwitchTraffic::getVnet("App", net).has_value());
    EXPECT_FALSE(SwitchTraffic::getVnet("far", net).has_value());  // another subscription
    EXPECT_TRUE(lines().empty());
}

TEST_F(LookupTest, GetResourcesQueriesOnlyTheCredentialsSubscriptionAsObjectArray) {
    auto recorder =
        std::make_shared<RecordingTransport>(dm::azure::defaultTransport(emulator_->caFile()));
    dm::YamlContext().setTransport(recorder);
    const std::string farSubnet = vnetId(kOtherSub, "rg-x", "far") + "/subnets/GatewaySubnet";

    // The principal may read both subscriptions, but the query covers only the credential's.
    auto fromSpoke = SwitchTraffic::getResources(gatewayQuery(farSubnet), credential(kSub));
    auto fromFar = SwitchTraffic::getResources(gatewayQuery(farSubnet), credential(kOtherSub));

    EXPECT_EQ(fromSpoke.total_records, 0);
    EXPECT_EQ(fromSpoke.data, Json::array());
    EXPECT_EQ(fromFar.total_records, 1);
    EXPECT_EQ(fromFar.data.dump(), R"([{"properties_gatewayType":"ExpressRoute"}])");

    const auto queries = recorder->queries();
    ASSERT_EQ(queries.size(), 2u);
    EXPECT_EQ(queries[0].method, "POST");
    EXPECT_EQ(Json::parse(queries[0].body), Json({{"subscriptions", Json::array({kSub})},
                                                  {"query", gatewayQuery(farSubnet)},
                                                  {"options", {{"resultFormat", "objectArray"}}}}));
    EXPECT_EQ(Json::parse(queries[1].body)["subscriptions"], Json::array({kOtherSub}));
    EXPECT_TRUE(lines().empty());
}

}  // namespace

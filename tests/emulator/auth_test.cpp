// Token endpoint and bearer checks on ARM.
#include <thread>

#include "emulator_fixture.hpp"

namespace dm::emu::testing {
namespace {

class AuthTest : public EmulatorTest {};

const std::string kVnets =
    "/subscriptions/" + kSub + "/providers/Microsoft.Network/virtualNetworks";

TEST_F(AuthTest, TokenGrantAnswersLikeEntra) {
    Client c(*emu);
    Resp r = c.login();
    ASSERT_EQ(r.status, 200);
    EXPECT_EQ(r.body["token_type"], "Bearer");
    EXPECT_EQ(r.body["expires_in"], 3599);
    EXPECT_FALSE(r.body["access_token"].get<std::string>().empty());
    EXPECT_NE(r.body["access_token"], client->token);  // every grant is a new token
    EXPECT_EQ(emu->counters()["token_grants"], 2);
}

TEST_F(AuthTest, BadCredentialsGetAadstsErrors) {
    Client c(*emu);
    Resp r = c.login("tenant-1", "app-1", "wrong");
    EXPECT_EQ(r.status, 401);
    EXPECT_EQ(r.body["error"], "invalid_client");
    EXPECT_EQ(r.body["error_codes"], Json::array({7000215}));
    EXPECT_EQ(r.body["error_description"].get<std::string>().rfind("AADSTS7000215: ", 0), 0u);
    EXPECT_EQ(r.text.find("wrong"), std::string::npos);  // the secret is never echoed

    r = c.login("tenant-x", "app-1", "s3cret");
    EXPECT_EQ(r.status, 400);
    EXPECT_EQ(r.body["error_codes"], Json::array({90002}));
    r = c.login("tenant-1", "app-9", "s3cret");
    EXPECT_EQ(r.status, 400);
    EXPECT_EQ(r.body["error"], "unauthorized_client");
    EXPECT_TRUE(c.token.empty());
    EXPECT_EQ(emu->counters()["token_grants"], 1);
}

TEST_F(AuthTest, ArmNeedsAValidBearerToken) {
    Client anonymous(*emu);
    Resp r = anonymous.get(kVnets + kNetVersion);
    EXPECT_EQ(r.status, 401);
    EXPECT_EQ(r.body["error"]["code"], "AuthenticationFailed");
    anonymous.token = "made-up";
    r = anonymous.get(kVnets + kNetVersion);
    EXPECT_EQ(r.status, 401);
    EXPECT_EQ(r.body["error"]["code"], "InvalidAuthenticationToken");
    EXPECT_EQ(client->get(kVnets + kNetVersion).status, 200);
}

TEST_F(AuthTest, ExpiredTokenIsRefused) {
    Json topology = baseTopology();
    topology["service_principals"][0]["token_lifetime_seconds"] = 1;
    emu->loadTopology(topology);
    EXPECT_EQ(client->get(kVnets + kNetVersion).status, 200);  // tokens survive a reload
    Client c(*emu);
    ASSERT_EQ(c.login().body["expires_in"], 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    Resp r = c.get(kVnets + kNetVersion);
    EXPECT_EQ(r.status, 401);
    EXPECT_EQ(r.body["error"]["code"], "ExpiredAuthenticationToken");
}

TEST_F(AuthTest, PrincipalSeesOnlyItsSubscriptions) {
    Client c(*emu);
    ASSERT_EQ(c.login("tenant-1", "app-2", "other").status, 200);
    EXPECT_EQ(c.get(kVnets + kNetVersion).status, 200);
    Resp r = c.get("/subscriptions/" + kSub2 + "/providers/Microsoft.Network/virtualNetworks" +
                   kNetVersion);
    EXPECT_EQ(r.status, 403);
    EXPECT_EQ(r.body["error"]["code"], "AuthorizationFailed");
    r = c.get("/subscriptions?api-version=2022-12-01");
    ASSERT_EQ(r.status, 200);
    ASSERT_EQ(r.body["value"].size(), 1u);
    EXPECT_EQ(r.body["value"][0]["subscriptionId"], kSub);
}

TEST_F(AuthTest, ApiVersionIsRequiredAndChecked) {
    Resp r = client->get(kVnets);
    EXPECT_EQ(r.status, 400);
    EXPECT_EQ(r.body["error"]["code"], "MissingApiVersionParameter");
    r = client->get(kVnets + "?api-version=2019-01-01");
    EXPECT_EQ(r.status, 400);
    EXPECT_EQ(r.body["error"]["code"], "InvalidApiVersionParameter");
    // The locks provider has its own versions.
    r = client->get(kNet + "/virtualNetworks/spoke-a/providers/Microsoft.Authorization/locks" +
                    kNetVersion);
    EXPECT_EQ(r.status, 400);
}

TEST_F(AuthTest, EveryPublishedApiVersionOfATypeIsServed) {
    const std::string hubs = kNet + "/virtualHubs";
    const std::string locks =
        kNet + "/virtualNetworks/spoke-a/providers/Microsoft.Authorization/locks";
    const struct {
        std::string path;
        std::string version;
        int status;
    } cases[] = {
        {kVnets, "2022-07-01", 200},  // an SDK client of early 2023
        {kVnets, "2015-06-15", 200},
        {kVnets, "2022-07-02", 400},
        {kNet + "/virtualNetworks/spoke-a/virtualNetworkPeerings", "2016-06-01", 200},
        {kNet + "/virtualNetworks/spoke-a/virtualNetworkPeerings", "2016-03-30", 400},
        {hubs, "2018-04-01", 200},
        {hubs, "2018-02-01", 400},  // before virtual hubs existed
        {hubs + "/vhub-eastus/hubVirtualNetworkConnections", "2018-04-01", 200},
        {locks, "2015-01-01", 200},
        {locks, "2022-07-01", 400},
        {"/subscriptions", "2016-06-01", 200},
        {kRg, "2021-04-01", 200},
        {kRg, "2020-01-01", 200},
    };
    for (const auto& c : cases) {
        Resp r = client->get(c.path + "?api-version=" + c.version);
        EXPECT_EQ(r.status, c.status) << c.path << " " << c.version;
        if (c.status == 400) {
            EXPECT_EQ(r.body["error"]["code"], "InvalidApiVersionParameter");
        }
    }
    Resp refused = client->get(kVnets + "?api-version=2022-07-02");
    EXPECT_NE(refused.body["error"]["message"].get<std::string>().find(
                  "The supported versions are '2024-05-01,2024-03-01,"),
              std::string::npos);
    Resp graph =
        client->post("/providers/Microsoft.ResourceGraph/resources?api-version=2020-04-01-PREVIEW",
                     R"({"query": "Resources"})", "application/json");
    EXPECT_EQ(graph.body["error"]["code"], "BadRequest");  // the version passed; the query did not
}

TEST_F(AuthTest, AnOperationIsPolledWithTheVersionThatStartedIt) {
    const std::string app = kNet + "/virtualNetworks/spoke-a/subnets/app?api-version=2022-07-01";
    Resp started = client->put(app, client->get(app).body);
    ASSERT_EQ(started.status, 200);
    EXPECT_NE(started.header("Azure-AsyncOperation").find("?api-version=2022-07-01"),
              std::string::npos);
    EXPECT_EQ(client->waitFor(started)["status"], "Succeeded");
}

}  // namespace
}  // namespace dm::emu::testing

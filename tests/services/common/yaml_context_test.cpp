// YamlContext: one shared state, global options, and account credentials with their secrets.

#include <gtest/gtest.h>

#include "core/error.hpp"
#include "services/common/common.hpp"
#include "services/common/yaml_context.hpp"
#include "support/scoped.hpp"
#include "support/scoped_run.hpp"

namespace dm {
namespace {

using testing::ScopedEnv;

// Fails any request: building credentials must not talk to the network.
class NoNetwork : public http::Transport {
  public:
    http::Response send(const http::Request& request) override {
        throw http::TransportError("unexpected request to " + request.url);
    }
};

class YamlContextTest : public ::testing::Test {
  protected:
    void SetUp() override {
        doc_ = Common::convert_yaml_to_json(DM_EXAMPLES_DIR "/discovery.yaml");
        YamlContext ctx;
        ctx.setTransport(std::make_shared<NoNetwork>());
        ctx.setSubscriptionMap(Common::getAzureSubscriptionInfo(doc_));
        ctx.setGlobalContext(doc_);
    }
    // Puts `doc_` (changed by the test) back into the context.
    void reload() {
        YamlContext().setSubscriptionMap(Common::getAzureSubscriptionInfo(doc_));
        YamlContext().setGlobalContext(doc_);
    }

    testing::ScopedRun run_;
    const std::string kSpoke = "00000000-0000-0000-0000-000000000001";
    const std::string kTransit = "00000000-0000-0000-0000-000000000002";
    Record doc_;
    testing::TempDir dir_;
};

TEST_F(YamlContextTest, EveryObjectSharesOneState) {
    EXPECT_FALSE(YamlContext().isDryRun());
    YamlContext().setDryRun();
    EXPECT_TRUE(YamlContext().isDryRun());
    EXPECT_EQ(YamlContext().getSubscriptionMap().size(), 2u);
    EXPECT_EQ(YamlContext().getDocument(), doc_);
    testing::ScopedRun next;  // another run shares none of it
    EXPECT_FALSE(YamlContext().isDryRun());
    EXPECT_TRUE(YamlContext().getDocument().is_null());
}

TEST_F(YamlContextTest, GlobalContextGivesTheOptionElseItsDefault) {
    EXPECT_EQ(YamlContext().getGlobalContext("configure_shared_route_table_replication"), 0);
    doc_["switch_traffic"]["configure_shared_route_table_replication"] = 2;
    reload();
    EXPECT_EQ(YamlContext().getGlobalContext("configure_shared_route_table_replication"), 2);
    doc_["switch_traffic"].erase("configure_shared_route_table_replication");
    doc_["switch_traffic"].erase("migrate_non_associated_subnet");
    reload();
    EXPECT_EQ(YamlContext().getGlobalContext("configure_shared_route_table_replication"), 0);
    EXPECT_EQ(YamlContext().getGlobalContext("migrate_non_associated_subnet"), true);
    EXPECT_TRUE(YamlContext().getGlobalContext("no_such_option").is_null());
}

TEST_F(YamlContextTest, CredentialSecretFromTheNamedVariableOrFile) {
    ScopedEnv secret("DM_AZURE_CLIENT_SECRET", "default-secret");
    auto spoke = YamlContext().generateAzureCredential(kSpoke);
    ASSERT_TRUE(spoke.has_value());
    EXPECT_EQ(spoke->getSubId(), kSpoke);
    EXPECT_EQ(spoke->clientId(), "22222222-2222-2222-2222-222222222222");
    EXPECT_EQ(spoke->tenantId(), "11111111-1111-1111-1111-111111111111");
    EXPECT_EQ(spoke->cloud().name, "custom");
    EXPECT_EQ(spoke->cloud().authorityHost, "https://127.0.0.1:8443");
    EXPECT_EQ(spoke->cloud().tokenScope, "https://management.azure.com/.default");
    EXPECT_EQ(spoke->cloud().caBundle, std::optional<std::string>("./emulator-ca.pem"));

    testing::writeFile(dir_.file("transit-secret"), "transit-secret\n");
    doc_["subscriptions"][1]["client_secret_file"] = dir_.file("transit-secret");
    reload();
    auto transit = YamlContext().generateAzureCredential(kTransit);
    ASSERT_TRUE(transit.has_value());
    EXPECT_EQ(transit->clientId(), "33333333-3333-3333-3333-333333333333");
}

TEST_F(YamlContextTest, MissingSecretNamesSubscriptionAndSource) {
    ScopedEnv unset("DM_AZURE_CLIENT_SECRET", std::nullopt);
    try {
        YamlContext().generateAzureCredential(kSpoke);
        FAIL() << "no error";
    } catch (const ConfigError& e) {
        EXPECT_EQ(std::string(e.what()),
                  "subscription " + kSpoke +
                      ": no client secret: environment variable DM_AZURE_CLIENT_SECRET is not set");
    }
    doc_["subscriptions"][1]["client_secret_file"] = dir_.file("absent");
    reload();
    try {
        YamlContext().generateAzureCredential(kTransit);
        FAIL() << "no error";
    } catch (const ConfigError& e) {
        EXPECT_EQ(std::string(e.what()), "subscription " + kTransit +
                                             ": no client secret: cannot read client secret file " +
                                             dir_.file("absent") + ": No such file or directory");
    }
}

TEST_F(YamlContextTest, AbsentWithoutAPrincipalAndDefaultPrincipalForOthers) {
    ScopedEnv secret("DM_AZURE_CLIENT_SECRET", "default-secret");
    // The document's default principal covers subscriptions it does not list.
    EXPECT_TRUE(YamlContext().generateAzureCredential("other-sub").has_value());
    doc_["azure"].erase("client_id");
    reload();
    EXPECT_FALSE(YamlContext().generateAzureCredential("other-sub").has_value());
    EXPECT_FALSE(YamlContext().generateAzureCredential(kSpoke).has_value());
}

TEST_F(YamlContextTest, TokenCredentialIsSharedPerPrincipal) {
    ScopedEnv secret("DM_AZURE_CLIENT_SECRET", "default-secret");
    testing::writeFile(dir_.file("transit-secret"), "transit-secret");
    doc_["subscriptions"][1]["client_secret_file"] = dir_.file("transit-secret");
    doc_["subscriptions"].push_back({{"subscription_id", "sub-3"}});
    reload();
    auto a = YamlContext().generateAzureCredential(kSpoke);
    auto b = YamlContext().generateAzureCredential("sub-3");
    auto c = YamlContext().generateAzureCredential(kTransit);
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(a->getCSC(), b->getCSC());
    EXPECT_EQ(a->getCSC(), a->getSPC());
    EXPECT_NE(a->getCSC(), c->getCSC());
    EXPECT_EQ(a->getCSC()->cloud().resourceManager, "https://127.0.0.1:8443");
}

TEST_F(YamlContextTest, CustomCloudNeedsItsEndpoints) {
    doc_["azure"] = {{"cloud", "custom"}, {"resource_manager", "https://127.0.0.1:1"}};
    reload();
    try {
        YamlContext().getCloud();
        FAIL() << "no error";
    } catch (const ConfigError& e) {
        EXPECT_NE(std::string(e.what()).find("azure.authority_host: missing, expected a string"),
                  std::string::npos)
            << e.what();
    }
}

TEST_F(YamlContextTest, SecretsAndTokensJoinTheRunsSecretsAsTheyAreObtained) {
    class Grant : public http::Transport {
        http::Response send(const http::Request&) override {
            return {200, {}, R"({"access_token": "eyJ0.token-1234", "expires_in": 3600})"};
        }
    };
    YamlContext().setTransport(std::make_shared<Grant>());
    ScopedEnv secret("DM_AZURE_CLIENT_SECRET", "azure-secret-1");
    auto credential = YamlContext().generateAzureCredential(kSpoke);
    EXPECT_EQ(run_.run.secrets->mask("azure-secret-1 eyJ0.token-1234"), "*** eyJ0.token-1234");
    credential->getCSC()->getToken("https://management.azure.com/.default");
    EXPECT_EQ(run_.run.secrets->mask("azure-secret-1 eyJ0.token-1234"), "*** ***");
}

}  // namespace
}  // namespace dm

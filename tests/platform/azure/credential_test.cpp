// Client-credentials tokens: one grant per principal and lifetime, renewal before expiry,
// failures that name the cause but never the secret.

#include <gtest/gtest.h>
#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

#include <future>
#include <sstream>
#include <thread>

#include "fake_transport.hpp"
#include "platform/azure/errors.hpp"

namespace dm::azure {
namespace {

using namespace std::chrono_literals;
using testing::RecordingTransport;
using testing::reply;

const char* kSecret = "s3cr~t+/=value";

class CredentialTest : public ::testing::Test {
  protected:
    std::shared_ptr<TokenCredential> make(std::string clientId = "client-1") {
        ClientSecretCredentialOptions o;
        o.tenantId = "tenant-1";
        o.clientId = std::move(clientId);
        o.clientSecret = kSecret;
        o.cloud = AzureCloud::publicCloud();
        o.cloud.authorityHost = "https://login.test/";
        o.transport = transport;
        o.clock = [this] { return now; };
        return makeClientSecretCredential(std::move(o));
    }

    void grant(const std::string& token, const std::string& expiresIn = "3600") {
        transport->then(reply(200, R"({"token_type": "Bearer", "expires_in": )" + expiresIn +
                                       R"(, "access_token": ")" + token + R"("})"));
    }

    std::shared_ptr<RecordingTransport> transport = std::make_shared<RecordingTransport>();
    std::chrono::system_clock::time_point now{std::chrono::hours(1000)};
    const std::string scope = "https://management.azure.com/.default";
};

TEST_F(CredentialTest, OneGrantServesEveryCallOfTheCredential) {
    grant("tok-A");
    auto credential = make();
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(credential->getToken(scope).token, "tok-A");
    ASSERT_EQ(transport->requests.size(), 1u);

    const auto& request = transport->requests[0];
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.url, "https://login.test/tenant-1/oauth2/v2.0/token");
    EXPECT_EQ(RecordingTransport::header(request, "Content-Type"),
              "application/x-www-form-urlencoded");
    EXPECT_EQ(request.body,
              "grant_type=client_credentials&client_id=client-1"
              "&client_secret=s3cr~t%2B%2F%3Dvalue"
              "&scope=https%3A%2F%2Fmanagement.azure.com%2F.default");
    EXPECT_EQ(credential->getToken(scope).expiresOn, now + 3600s);

    // Another principal needs its own grant.
    grant("tok-B", R"("3599")");  // the legacy endpoint sends a string
    EXPECT_EQ(make("client-2")->getToken(scope).token, "tok-B");
    EXPECT_EQ(transport->requests.size(), 2u);
}

// A caller that needs the token while another is fetching it waits for that one.
TEST_F(CredentialTest, ConcurrentCallersShareOneGrant) {
    std::promise<void> asking;
    transport->script.push_back([asked = asking.get_future().share()](const http::Request&) {
        asked.wait();
        std::this_thread::sleep_for(50ms);  // lets the other caller reach the credential
        return reply(200, R"({"expires_in": 3600, "access_token": "tok-A"})");
    });
    auto credential = make();
    std::thread first([&] { credential->getToken(scope); });
    asking.set_value();
    credential->getToken(scope);
    first.join();
    EXPECT_EQ(transport->requests.size(), 1u);
}

TEST_F(CredentialTest, TokenIsRenewedShortlyBeforeExpiry) {
    grant("tok-1");
    auto credential = make();
    credential->getToken(scope);
    now += 3600s - 301s;  // just outside the 5-minute window
    EXPECT_EQ(credential->getToken(scope).token, "tok-1");
    now += 2s;
    grant("tok-2", "600");
    EXPECT_EQ(credential->getToken(scope).token, "tok-2");
    // A 10-minute token is renewed at half its life rather than after 5 minutes.
    now += 299s;
    EXPECT_EQ(credential->getToken(scope).token, "tok-2");
    now += 2s;
    grant("tok-3");
    EXPECT_EQ(credential->getToken(scope).token, "tok-3");
    // ARM refusing the token drops it from the cache.
    credential->invalidateToken(scope);
    grant("tok-4");
    EXPECT_EQ(credential->getToken(scope).token, "tok-4");
    EXPECT_EQ(transport->requests.size(), 4u);
}

TEST_F(CredentialTest, RefusedGrantNamesTheCauseButNeverTheSecret) {
    std::ostringstream logged;
    auto logger = std::make_shared<spdlog::logger>(
        "dm.azure", std::make_shared<spdlog::sinks::ostream_sink_mt>(logged));
    logger->set_level(spdlog::level::debug);
    spdlog::drop("dm.azure");
    spdlog::register_logger(logger);

    // Services echo request details at times; the secret must not come through.
    transport->then(reply(401, std::string(R"({"error": "invalid_client", "error_description":
        "AADSTS7000215: Invalid client secret provided: )") +
                                   kSecret + R"(",
        "error_codes": [7000215], "trace_id": "trace-9"})"));
    try {
        make()->getToken(scope);
        FAIL() << "expected AuthenticationError";
    } catch (const AuthenticationError& e) {
        EXPECT_STREQ(e.what(),
                     "Token request for tenant tenant-1, client client-1 failed: invalid_client: "
                     "AADSTS7000215: Invalid client secret provided: ***");
    }
    transport->then(reply(200, R"({"token_type": "Bearer"})"));
    EXPECT_THROW(make()->getToken(scope), AuthenticationError);
    transport->then(reply(503, "<html>down</html>"));
    try {
        make()->getToken(scope);
    } catch (const AuthenticationError& e) {
        EXPECT_STREQ(e.what(),
                     "Token request for tenant tenant-1, client client-1 failed: status 503");
    }
    grant("tok-ok");
    make()->getToken(scope);

    spdlog::drop("dm.azure");
    EXPECT_NE(logged.str().find("trace-9"), std::string::npos);
    EXPECT_NE(logged.str().find("acquired"), std::string::npos);
    EXPECT_EQ(logged.str().find(kSecret), std::string::npos);
    EXPECT_EQ(logged.str().find("tok-ok"), std::string::npos);
}

}  // namespace
}  // namespace dm::azure

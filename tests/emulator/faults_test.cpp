// Injected faults: which requests they hit, how often, and what the client sees.
#include "core/error.hpp"
#include "emulator_fixture.hpp"

namespace dm::emu::testing {
namespace {

class FaultTest : public EmulatorTest {
  protected:
    const std::string spokeA = kNet + "/virtualNetworks/spoke-a" + kNetVersion;
    const std::string app = kNet + "/virtualNetworks/spoke-a/subnets/app" + kNetVersion;
};

TEST_F(FaultTest, StatusFaultFiresTheConfiguredNumberOfTimes) {
    emu->injectFault({{"method", "GET"},
                      {"path", "/virtualNetworks/spoke-a$"},
                      {"status", 429},
                      {"retry_after", 1},
                      {"count", 2}});
    for (int i = 0; i < 2; ++i) {
        Resp r = client->get(spokeA);
        EXPECT_EQ(r.status, 429);
        EXPECT_EQ(r.header("Retry-After"), "1");
        EXPECT_EQ(r.body["error"]["code"], "TooManyRequests");
    }
    EXPECT_EQ(client->get(spokeA).status, 200);
    EXPECT_EQ(client->get(app).status, 200);  // the pattern is anchored at the VNet
    EXPECT_EQ(emu->faults()[0]["fired"], 2);
    EXPECT_EQ(emu->counters()["faults_fired"], 2);
}

TEST_F(FaultTest, AfterLetsTheFirstMatchesThrough) {
    emu->injectFault({{"path", "spoke-a$"}, {"status", 503}, {"after", 1}});
    EXPECT_EQ(client->get(spokeA).status, 200);
    EXPECT_EQ(client->get(spokeA).status, 503);
    EXPECT_EQ(client->get(spokeA).status, 200);
}

TEST_F(FaultTest, RawBodyReplacesTheArmError) {
    emu->injectFault({{"path", "spoke-a$"}, {"status", 502}, {"body", "<html>bad gateway</html>"}});
    Resp r = client->get(spokeA);
    EXPECT_EQ(r.status, 502);
    EXPECT_EQ(r.text, "<html>bad gateway</html>");
}

TEST_F(FaultTest, DroppedConnectionGivesNoResponse) {
    emu->injectFault({{"kind", "drop"}, {"path", "spoke-a$"}});
    EXPECT_EQ(client->get(spokeA).status, 0);
    EXPECT_EQ(client->get(spokeA).status, 200);  // on a new connection
}

TEST_F(FaultTest, LroFailedEndsFailedAndLeavesTheStateAlone) {
    emu->injectFault({{"kind", "lro_failed"},
                      {"path", "/subnets/app$"},
                      {"code", "InternalServerError"},
                      {"message", "disk on fire"}});
    Json body = client->get(app).body;  // a read does not use up the fault
    body["properties"].erase("routeTable");
    Resp started = client->put(app, body);
    ASSERT_EQ(started.status, 200);
    Json status = client->waitFor(started);
    EXPECT_EQ(status["status"], "Failed");
    EXPECT_EQ(status["error"]["code"], "InternalServerError");
    EXPECT_EQ(status["error"]["message"], "disk on fire");
    EXPECT_TRUE(client->get(app).body["properties"].contains("routeTable"));
    EXPECT_EQ(emu->faults()[0]["count"], 0);
}

TEST_F(FaultTest, ConflictFaultAnswersAnotherOperationInProgress) {
    emu->injectFault({{"kind", "conflict"}, {"method", "PUT"}, {"path", "/subnets/"}});
    Resp r = client->put(app, client->get(app).body);
    EXPECT_EQ(r.status, 409);
    EXPECT_EQ(r.body["error"]["code"], "AnotherOperationInProgress");
    EXPECT_EQ(client->put(app, client->get(app).body).status, 200);
}

TEST_F(FaultTest, ControllerFaultsMatchTheFormAction) {
    emu->injectFault({{"path", "^/v1/api$"},
                      {"action", "login"},
                      {"status", 500},
                      {"message", "controller down"}});
    Resp r =
        client->post("/v1/api", "action=list_gateways&CID=x", "application/x-www-form-urlencoded");
    EXPECT_NE(r.status, 500);
    r = client->post("/v1/api", "action=login&username=u&password=p",
                     "application/x-www-form-urlencoded");
    EXPECT_EQ(r.status, 500);
    EXPECT_EQ(r.body, Json::parse(R"({"return": false, "reason": "controller down"})"));
}

TEST_F(FaultTest, ControllerFaultsCanMatchFormFields) {
    emu->injectFault({{"action", "edit_gateway_advertised_cidrs"},
                      {"fields", {{"gw_name", "spoke-x"}}},
                      {"count", -1}});
    auto edit = [this](const std::string& gateway) {
        return client
            ->post("/v1/api",
                   "action=edit_gateway_advertised_cidrs&CID=c&cidrs=&gw_name=" + gateway,
                   "application/x-www-form-urlencoded")
            .status;
    };
    EXPECT_EQ(edit("spoke-y"), 200);  // the model answers (a refusal here)
    EXPECT_EQ(edit("spoke-x"), 500);
    EXPECT_EQ(edit("spoke-x"), 500);
    EXPECT_EQ(emu->faults()[0]["fields"], Json({{"gw_name", "spoke-x"}}));
    EXPECT_THROW(emu->injectFault({{"fields", {{"gw_name", 1}}}}), dm::Error);
}

TEST_F(FaultTest, MalformedRulesAreRejected) {
    EXPECT_THROW(emu->injectFault({{"kind", "explode"}}), dm::Error);
    EXPECT_THROW(emu->injectFault({{"path", "("}}), dm::Error);
    EXPECT_THROW(emu->injectFault({{"status", 42}}), dm::Error);
    EXPECT_TRUE(emu->faults().empty());
}

}  // namespace
}  // namespace dm::emu::testing

// The write log, request counters and runtime settings.
#include "core/error.hpp"
#include "emulator_fixture.hpp"

namespace dm::emu::testing {
namespace {

class ObservationTest : public EmulatorTest {
  protected:
    const std::string app = kNet + "/virtualNetworks/spoke-a/subnets/app" + kNetVersion;
    const std::string toA = kNet + "/virtualNetworks/hub/virtualNetworkPeerings/to-a" + kNetVersion;

    Json subnetWith(const std::string& routeTable) {
        Json body = client->get(app).body;
        body["properties"]["routeTable"] = {{"id", kNet + "/routeTables/" + routeTable}};
        return body;
    }
};

TEST_F(ObservationTest, WriteLogKeepsAcceptedWritesInOrder) {
    client->waitFor(client->put(app, subnetWith("rt-new")));
    EXPECT_EQ(client->put(app, subnetWith("rt-gone")).status, 400);  // refused: no change
    client->waitFor(client->del(toA));
    client->get(toA);

    Json log = emu->writeLog();
    ASSERT_EQ(log.size(), 2u) << log.dump(2);
    EXPECT_EQ(log[0]["seq"], 1);
    EXPECT_EQ(log[0]["source"], "arm");
    EXPECT_EQ(log[0]["method"], "PUT");
    EXPECT_EQ(log[0]["path"], kNet + "/virtualNetworks/spoke-a/subnets/app");
    EXPECT_EQ(log[0]["api_version"], "2024-05-01");
    EXPECT_EQ(log[0]["body"]["properties"]["routeTable"]["id"], kNet + "/routeTables/rt-new");
    EXPECT_EQ(log[1]["method"], "DELETE");
    EXPECT_EQ(log[1]["path"], kNet + "/virtualNetworks/hub/virtualNetworkPeerings/to-a");
    EXPECT_TRUE(log[1]["body"].is_null());

    emu->clearWriteLog();
    EXPECT_TRUE(emu->writeLog().empty());
}

TEST_F(ObservationTest, RequestLogKeepsEveryAnswerWithSecretsMasked) {
    emu->clearRequestLog();
    client->login("tenant-1", "app-1", "s3cret");
    client->get(app);
    const std::string form = "application/x-www-form-urlencoded";
    client->post("/v1/api", "action=login&username=admin&password=pw-secret", form);
    client->post("/v1/api", "action=list_gateways&CID=cid-secret&gw_name=x", form);
    emu->injectFault({{"kind", "drop"}, {"path", "/subnets/app$"}});
    client->get(app);
    client->get("/admin/counters");  // not logged

    const Json requests = emu->requestLog()["requests"];
    ASSERT_EQ(requests.size(), 5u) << requests.dump(2);
    EXPECT_EQ(requests[0]["kind"], "token");
    EXPECT_EQ(requests[0]["form"]["client_secret"], "***");
    EXPECT_EQ(requests[0]["form"]["client_id"], "app-1");
    EXPECT_FALSE(requests[0].contains("query"));  // the body's fields are no query
    EXPECT_EQ(requests[1]["method"], "GET");
    EXPECT_EQ(requests[1]["path"], kNet + "/virtualNetworks/spoke-a/subnets/app");
    EXPECT_EQ(requests[1]["api_version"], "2024-05-01");
    EXPECT_EQ(requests[1]["status"], 200);
    EXPECT_EQ(requests[1]["authorization"], "Bearer ***");
    EXPECT_EQ(requests[2]["action"], "login");
    EXPECT_EQ(requests[2]["form"]["password"], "***");
    EXPECT_EQ(requests[3]["form"], Json({{"CID", "***"}, {"gw_name", "x"}}));
    EXPECT_TRUE(requests[4]["status"].is_null());  // dropped unanswered
    EXPECT_EQ(requests[4]["fault"], 1);
    for (const std::string& secret :
         std::vector<std::string>{"s3cret", "pw-secret", "cid-secret", client->token}) {
        EXPECT_EQ(requests.dump().find(secret), std::string::npos) << secret;
    }

    emu->updateSettings({{"request_log_size", 2}});  // the ring keeps the newest
    Json kept = emu->requestLog();
    EXPECT_EQ(kept["requests"].size(), 2u);
    EXPECT_EQ(kept["requests"][0]["seq"], requests[3]["seq"]);
    EXPECT_EQ(kept["dropped"], 3);
    client->get(app);
    EXPECT_EQ(emu->requestLog()["requests"][1]["seq"], requests[4]["seq"].get<int>() + 1);
    emu->clearRequestLog();
    EXPECT_TRUE(emu->requestLog()["requests"].empty());
}

TEST_F(ObservationTest, CountersCountRequestsByKind) {
    emu->resetCounters();
    client->get(app);
    Resp started = client->put(app, subnetWith("rt-new"));  // one more read inside
    client->waitFor(started);                               // two polls
    client->post("/providers/Microsoft.ResourceGraph/resources?api-version=2021-03-01",
                 R"({"query": "Resources"})", "application/json");
    client->get("/admin/counters");
    client->login();

    Json c = emu->counters();
    EXPECT_EQ(c["arm_read"], 2);
    EXPECT_EQ(c["arm_write"], 1);
    EXPECT_EQ(c["lro_poll"], 2);
    EXPECT_EQ(c["resource_graph"], 1);
    EXPECT_EQ(c["admin"], 1);
    EXPECT_EQ(c["token"], 1);
    EXPECT_EQ(c["token_grants"], 1);
    EXPECT_EQ(c["requests_total"], 8);
}

TEST_F(ObservationTest, TlsConnectionsCountNewConnectionsNotRequests) {
    emu->resetCounters();
    for (int i = 0; i < 3; ++i) {
        client->get(app);
    }
    EXPECT_EQ(emu->counters()["tls_connections"], 1);
    Client other(*emu);
    other.token = client->token;
    other.get(app);
    EXPECT_EQ(emu->counters()["tls_connections"], 2);
}

TEST_F(ObservationTest, ConflictSettingRefusesWritesDuringUnfinishedOperations) {
    emu->updateSettings({{"conflicts", "409"}});
    Resp first = client->put(app, subnetWith("rt-new"));
    ASSERT_EQ(first.status, 200);
    Resp second = client->put(
        kNet + "/virtualNetworks/spoke-a/virtualNetworkPeerings/to-hub" + kNetVersion,
        client->get(kNet + "/virtualNetworks/spoke-a/virtualNetworkPeerings/to-hub" + kNetVersion)
            .body);
    EXPECT_EQ(second.status, 409);
    EXPECT_EQ(second.body["error"]["code"], "AnotherOperationInProgress");
    client->waitFor(first);
    EXPECT_EQ(client->put(app, subnetWith("rt-app")).status, 200);

    emu->updateSettings({{"conflicts", "429"}});
    Resp busy = client->put(app, subnetWith("rt-new"));
    EXPECT_EQ(busy.status, 429);
    EXPECT_EQ(busy.header("Retry-After"), "1");
    EXPECT_THROW(emu->updateSettings({{"conflicts", "sometimes"}}), dm::Error);
}

TEST_F(ObservationTest, UnpolledWritesApplyInArrivalOrder) {
    // Fire-and-forget writes: the second one completes the first before it starts.
    Resp first = client->put(app, subnetWith("rt-new"));
    Resp second = client->put(app, subnetWith("rt-app"));
    EXPECT_EQ(client->waitFor(first)["status"], "Succeeded");
    client->waitFor(second);
    EXPECT_EQ(client->get(app).body["properties"]["routeTable"]["id"],
              kNet + "/routeTables/rt-app");
}

TEST_F(ObservationTest, InspectionCompletesWritesNobodyPolls) {
    Resp started = client->put(app, subnetWith("rt-new"));
    EXPECT_EQ(client->get(app).body["properties"]["provisioningState"], "Updating");
    Json subnet = emu->resource(kNet + "/virtualNetworks/spoke-a/subnets/app");
    EXPECT_EQ(subnet["properties"]["routeTable"]["id"], kNet + "/routeTables/rt-new");
    EXPECT_EQ(client->waitFor(started)["status"], "Succeeded");
}

TEST_F(ObservationTest, ZeroPollsCompletesWritesAtOnce) {
    emu->setLroPolls(0);
    Resp r = client->put(app, subnetWith("rt-new"));
    EXPECT_EQ(r.body["properties"]["provisioningState"], "Succeeded");
    EXPECT_EQ(client->get(app).body["properties"]["routeTable"]["id"],
              kNet + "/routeTables/rt-new");
    int polls = 0;
    EXPECT_EQ(client->waitFor(r, &polls)["status"], "Succeeded");
    EXPECT_EQ(polls, 1);
}

TEST_F(ObservationTest, AdminApiServesTheSameOperations) {
    Client admin(*emu);
    Resp r =
        admin.post("/admin/settings", R"({"page_size": 1, "lro_polls": 3})", "application/json");
    ASSERT_EQ(r.status, 200);
    EXPECT_EQ(emu->settings()["page_size"], 1);
    EXPECT_EQ(emu->settings()["lro_polls"], 3);
    r = admin.post("/admin/faults", R"([{"path": "x"}, {"kind": "drop", "path": "y"}])",
                   "application/json");
    EXPECT_EQ(r.body.size(), 2u);
    EXPECT_EQ(admin.get("/admin/faults").body.size(), 2u);
    EXPECT_EQ(admin.del("/admin/faults").status, 200);
    EXPECT_TRUE(emu->faults().empty());
    r = admin.post("/admin/topology", R"({"subscriptions": [{"id": "s"}], "controller": {}})",
                   "application/json");
    ASSERT_EQ(r.status, 200) << r.text;
    EXPECT_EQ(admin.get("/admin/state").body["subscriptions"][0]["id"], "s");
    r = admin.post("/admin/topology", R"({"subscriptions": [{}]})", "application/json");
    EXPECT_EQ(r.status, 400);
    EXPECT_EQ(r.body["error"]["message"], "topology: subscriptions[0]: missing \"id\"");
    EXPECT_EQ(admin.get("/admin/info").body["ca_file"], emu->caFile());
    r = admin.post("/admin/overrides", R"({"action": "list_gateways", "results": []})",
                   "application/json");
    EXPECT_EQ(r.body["action"], "list_gateways");
    EXPECT_EQ(admin.get("/admin/overrides").body.size(), 1u);
    EXPECT_EQ(admin.post("/admin/overrides", R"({"action": "x"})", "application/json").status, 400);
    EXPECT_EQ(admin.get("/admin/requests").body["capacity"], 1000);
}

}  // namespace
}  // namespace dm::emu::testing

// The ARM clients against a recording transport: what goes on the wire, paging, long-running
// operations and errors.

#include <gtest/gtest.h>

#include "fake_transport.hpp"
#include "platform/azure/errors.hpp"
#include "platform/azure/lock_client.hpp"
#include "platform/azure/network_client.hpp"
#include "platform/azure/resource_graph_client.hpp"

namespace dm::azure {
namespace {

using namespace std::chrono_literals;
using testing::FakeCredential;
using testing::FakeTime;
using testing::RecordingTransport;
using testing::reply;

const std::string kRg = "/subscriptions/sub-1/resourceGroups/rg-1/providers/Microsoft.Network";

std::string kRgUrl(const std::string& rest) {
    return "https://arm.test" + kRg + "/" + rest + "?api-version=2024-05-01";
}

class ArmClientTest : public ::testing::Test {
  protected:
    std::shared_ptr<RecordingTransport> transport = std::make_shared<RecordingTransport>();
    std::shared_ptr<FakeCredential> credential = std::make_shared<FakeCredential>(transport);
    FakeTime time;
    NetworkManagementClient client{credential, "sub-1", time.options()};

    const http::Request& request(size_t i) const { return transport->requests.at(i); }
};

TEST_F(ArmClientTest, RequestsCarryUrlApiVersionAndHeaders) {
    transport->then(reply(200, R"({"value": []})"));
    client.virtual_networks.list_all();
    transport->then(reply(200, R"({"name": "my subnet", "properties": {}})"));
    client.subnets.get("rg 1", "vnet/a", "my subnet");
    transport->then(
        reply(200, R"({"name": "app", "properties": {"provisioningState": "Succeeded"}})"));
    client.subnets.begin_create_or_update("rg-1", "v", "app", Subnet(Record{{"name", "app"}}));

    EXPECT_EQ(request(0).method, "GET");
    EXPECT_EQ(request(0).url,
              "https://arm.test/subscriptions/sub-1/providers/Microsoft.Network/virtualNetworks"
              "?api-version=2024-05-01");
    EXPECT_EQ(RecordingTransport::header(request(0), "Authorization"), "Bearer token-1");
    EXPECT_EQ(RecordingTransport::header(request(0), "x-ms-client-request-id").size(), 36u);
    EXPECT_EQ(RecordingTransport::header(request(0), "Content-Type"), "");
    EXPECT_EQ(credential->scopes.at(0), "https://arm.test/.default");

    // Names are path segments: a "/" or a blank in a name must not change the path.
    EXPECT_EQ(request(1).url,
              "https://arm.test/subscriptions/sub-1/resourceGroups/rg%201/providers/"
              "Microsoft.Network/virtualNetworks/vnet%2Fa/subnets/my%20subnet"
              "?api-version=2024-05-01");

    EXPECT_EQ(request(2).method, "PUT");
    EXPECT_EQ(RecordingTransport::header(request(2), "Content-Type"), "application/json");
    EXPECT_EQ(Record::parse(request(2).body), (Record{{"name", "app"}}));
    EXPECT_NE(RecordingTransport::header(request(0), "x-ms-client-request-id"),
              RecordingTransport::header(request(2), "x-ms-client-request-id"));
}

TEST_F(ArmClientTest, LockAndResourceGraphRequests) {
    ManagementLockClient locks(credential, "sub-1", time.options());
    transport->then(reply(200, R"({"value": [{"name": "no-delete",
        "properties": {"level": "CanNotDelete"}}]})"));
    auto found = locks.management_locks.list_at_resource_level("rg-1", "Microsoft.Network", "",
                                                               "virtualNetworks", "spoke");
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].name(), "no-delete");
    EXPECT_EQ(found[0].level(), "CanNotDelete");
    // An empty parent path must not leave "//" in the URL.
    EXPECT_EQ(request(0).url,
              "https://arm.test/subscriptions/sub-1/resourcegroups/rg-1/providers/"
              "Microsoft.Network/virtualNetworks/spoke/providers/Microsoft.Authorization/locks"
              "?api-version=2020-05-01");

    transport->then(reply(204));
    locks.management_locks.delete_at_resource_level("rg-1", "Microsoft.Network", "",
                                                    "virtualNetworks", "spoke", "no-delete");
    EXPECT_EQ(request(1).method, "DELETE");
    EXPECT_NE(request(1).url.find("/locks/no-delete?api-version=2020-05-01"), std::string::npos);

    ResourceGraphClient graph(credential, time.options());
    transport->then(reply(200, R"({"totalRecords": 2, "count": 2, "resultTruncated": "false",
        "data": [{"properties_gatewayType": "Vpn"}, {"properties_gatewayType": "Vpn"}]})"));
    auto answer = graph.resources(
        QueryRequest{{"sub-1"}, "Resources | limit 1", QueryRequestOptions{"objectArray"}});
    EXPECT_EQ(request(2).method, "POST");
    EXPECT_EQ(
        request(2).url,
        "https://arm.test/providers/Microsoft.ResourceGraph/resources?api-version=2021-03-01");
    EXPECT_EQ(request(2).idempotent, std::optional<bool>(true));
    EXPECT_EQ(Record::parse(request(2).body),
              Record::parse(R"({"subscriptions": ["sub-1"], "query": "Resources | limit 1",
                                "options": {"resultFormat": "objectArray"}})"));
    EXPECT_EQ(answer.total_records, 2);
    EXPECT_FALSE(answer.result_truncated);
    EXPECT_EQ(answer.data[1]["properties_gatewayType"], "Vpn");

    transport->then(reply(200, R"({"totalRecords": 0, "count": 0, "data": []})"));
    EXPECT_EQ(graph.resources(QueryRequest{{"sub-1"}, "q", {}}).total_records, 0);
}

TEST_F(ArmClientTest, ListsFollowEveryNextLink) {
    const std::string base =
        "https://arm.test/subscriptions/sub-1/providers/Microsoft.Network/routeTables";
    transport->then(reply(200, R"({"value": [{"name": "a"}, {"name": "b"}],
        "nextLink": ")" + base + R"(?api-version=2024-05-01&$skiptoken=p2"})"));
    // An empty page in the middle does not end the list.
    transport->then(reply(200, R"({"value": [], "nextLink": ")" + base + R"(?$skiptoken=p3"})"));
    transport->then(reply(200, R"({"value": [{"name": "c"}], "nextLink": null})"));

    auto tables = client.route_tables.list_all();
    ASSERT_EQ(tables.size(), 3u);
    EXPECT_EQ(tables[0].name(), "a");
    EXPECT_EQ(tables[2].name(), "c");
    ASSERT_EQ(transport->requests.size(), 3u);
    EXPECT_EQ(request(1).url, base + "?api-version=2024-05-01&$skiptoken=p2");
    // A nextLink without api-version gets the client's.
    EXPECT_EQ(request(2).url, base + "?$skiptoken=p3&api-version=2024-05-01");
    EXPECT_EQ(RecordingTransport::header(request(2), "Authorization"), "Bearer token-1");
}

TEST_F(ArmClientTest, PutPollsTheAsyncOperationThenReadsTheResource) {
    const std::string op =
        "https://arm.test/subscriptions/sub-1/providers/Microsoft.Network/"
        "locations/eastus/operations/op1?api-version=2024-05-01";
    transport->then(reply(201,
                          R"({"name": "app", "properties": {"provisioningState": "Updating"}})",
                          {{"Azure-AsyncOperation", op}, {"Retry-After", "3"}}));
    transport->then(reply(200, R"({"status": "InProgress"})", {{"Retry-After", "5"}}));
    transport->then(reply(200, R"({"status": "InProgress"})"));
    transport->then(reply(200, R"({"status": "succeeded"})"));
    transport->then(reply(200, R"({"name": "app", "properties": {"provisioningState": "Succeeded",
        "routeTable": {"id": "/rt/new"}}})"));

    auto poller = client.subnets.begin_create_or_update("rg-1", "v", "app", Subnet());
    EXPECT_FALSE(poller.done());
    EXPECT_EQ(transport->requests.size(), 1u);  // nothing polled before result()
    Subnet stored = poller.result();

    EXPECT_EQ(stored.route_table(), std::optional<std::string>("/rt/new"));
    ASSERT_EQ(transport->requests.size(), 5u);
    EXPECT_EQ(request(1).url, op);
    EXPECT_EQ(request(4).url, kRgUrl("virtualNetworks/v/subnets/app"));
    // Retry-After of the latest answer, else the poll interval.
    EXPECT_EQ(time.sleeps, (std::vector<std::chrono::milliseconds>{3s, 5s, 10s}));
    // Every poll repeats the client request id of the operation.
    const auto id = RecordingTransport::header(request(0), "x-ms-client-request-id");
    for (size_t i = 1; i < 5; ++i) {
        EXPECT_EQ(RecordingTransport::header(request(i), "x-ms-client-request-id"), id);
    }
    // A second result() sends nothing more.
    poller.result();
    EXPECT_EQ(transport->requests.size(), 5u);
}

TEST_F(ArmClientTest, PollWaitCountsFromTheAnswerThatAskedForIt) {
    using std::chrono::milliseconds;
    struct Case {
        http::Headers hint;         // of the answer that started the operation
        milliseconds checkedAfter;  // the caller went on this long before result()
        std::vector<milliseconds> sleeps;
    };
    const std::vector<Case> cases = {
        {{{"Retry-After", "10"}}, 0s, {10s}},
        {{{"Retry-After", "10"}}, 4s, {6s}},
        {{{"Retry-After", "10"}}, 25s, {}},  // checked late: polled at once
        {{{"retry-after-ms", "250"}, {"Retry-After", "10"}}, 0s, {250ms}},
        {{{"retry-after-ms", "250"}}, 100ms, {150ms}},
        {{{"x-ms-retry-after-ms", "1500"}}, 2s, {}},
        {{{"Retry-After", "600"}}, 0s, {120s}},  // capped by maxPollDelay
        {{}, 3s, {7s}},                          // no hint: the poll interval
        {{{"Retry-After", "10"}}, 31min, {}},    // past the deadline: still polled once
    };
    for (const auto& c : cases) {
        time.sleeps.clear();
        http::Headers headers = c.hint;
        headers.emplace_back("Azure-AsyncOperation", "https://arm.test/op");
        transport->then(reply(202, "", headers));
        transport->then(reply(200, R"({"status": "Succeeded"})"));
        transport->then(reply(200, R"({"name": "app"})"));
        auto poller = client.subnets.begin_create_or_update("rg-1", "v", "app", Subnet());
        time.now += c.checkedAfter;
        EXPECT_EQ(poller.result().name(), "app");
        EXPECT_EQ(time.sleeps, c.sleeps) << "hint " << (c.hint.empty() ? "" : c.hint[0].first)
                                         << ", checked after " << c.checkedAfter.count() << " ms";
    }
}

TEST_F(ArmClientTest, OperationsThatEndWithoutPolling) {
    // 200 with a terminal provisioningState: done, and the body is the resource.
    transport->then(reply(200, R"({"name": "p", "properties": {"provisioningState": "Succeeded",
        "useRemoteGateways": false}})"));
    auto put = client.virtual_network_peerings.begin_create_or_update("rg-1", "v", "p",
                                                                      VirtualNetworkPeering());
    EXPECT_TRUE(put.done());
    EXPECT_EQ(put.result().use_remote_gateways(), std::optional<bool>(false));
    // 204 on a delete: the peering did not exist.
    transport->then(reply(204));
    client.virtual_network_peerings.begin_delete("rg-1", "v", "gone").result();
    EXPECT_EQ(transport->requests.size(), 2u);
    // Location polling: 202 while running, 200 when done; a delete reads nothing afterwards.
    transport->then(reply(202, "", {{"Location", "https://arm.test/loc/1"}, {"Retry-After", "1"}}));
    transport->then(reply(202, "", {{"Location", "https://arm.test/loc/2"}}));
    transport->then(reply(200));
    client.hub_virtual_network_connections.begin_delete("rg-1", "hub", "c").result();
    ASSERT_EQ(transport->requests.size(), 5u);
    EXPECT_EQ(request(3).url, "https://arm.test/loc/1");
    EXPECT_EQ(request(4).url, "https://arm.test/loc/2");
    EXPECT_EQ(time.sleeps, (std::vector<std::chrono::milliseconds>{1s, 10s}));
}

TEST_F(ArmClientTest, FailedOperationCarriesTheServiceError) {
    transport->then(reply(200, R"({"properties": {"provisioningState": "Updating"}})",
                          {{"Azure-AsyncOperation", "https://arm.test/op"}, {"Retry-After", "0"}}));
    transport->then(reply(200,
                          R"({"status": "Failed", "error": {"code": "InvalidResourceReference",
        "message": "Route table rt is not valid."}})",
                          {{"x-ms-request-id", "req-77"}}));
    auto poller = client.route_tables.begin_create_or_update("rg-1", "rt", RouteTable());
    try {
        poller.result();
        FAIL() << "expected ArmError";
    } catch (const ArmError& e) {
        EXPECT_EQ(e.what(), "(InvalidResourceReference) Route table rt is not valid. (PUT " + kRg +
                                "/routeTables/rt)");
        EXPECT_EQ(e.code(), "InvalidResourceReference");
        EXPECT_EQ(e.requestId(), "req-77");
        EXPECT_EQ(e.method(), "PUT");
        EXPECT_EQ(e.resourceId(), kRg + "/routeTables/rt");
    }
    // Not sent again, no final GET after a failure, and the failure repeats without new requests.
    EXPECT_EQ(transport->requests.size(), 2u);
    EXPECT_THROW(poller.result(), ArmError);
    EXPECT_EQ(transport->requests.size(), 2u);
}

TEST_F(ArmClientTest, RefusedStartThrowsAtOnceAndDeadlineStopsPolling) {
    transport->then(reply(409, R"({"error": {"code": "ScopeLocked", "message": "locked"}})"));
    EXPECT_THROW(client.virtual_network_peerings.begin_delete("rg-1", "v", "p"), ArmError);
    EXPECT_EQ(transport->requests.size(), 1u);

    ArmClientOptions options = time.options();
    options.lroDeadline = 25s;
    NetworkManagementClient slow(credential, "sub-1", options);
    transport->then(
        reply(202, "", {{"Azure-AsyncOperation", "https://arm.test/op"}, {"Retry-After", "10"}}));
    for (int i = 0; i < 5; ++i) {
        transport->then(reply(200, R"({"status": "InProgress"})", {{"Retry-After", "10"}}));
    }
    auto poller = slow.hub_virtual_network_connections.begin_delete("rg-1", "hub", "c");
    try {
        poller.result();
        FAIL() << "expected LroTimeoutError";
    } catch (const LroTimeoutError& e) {
        EXPECT_EQ(e.lastStatus(), "InProgress");
        EXPECT_NE(std::string(e.what()).find("did not finish within 25 s"), std::string::npos);
    }
    // Two polls fit in 25 s; the third wait would cross the deadline.
    EXPECT_EQ(transport->requests.size(), 4u);
}

TEST_F(ArmClientTest, ErrorsFromOddBodies) {
    auto errorOf = [&](http::Response response) -> std::string {
        transport->then(std::move(response));
        try {
            client.virtual_networks.get("rg-1", "v");
        } catch (const ArmError& e) {
            return std::to_string(e.status()) + "|" + e.code() + "|" + e.what();
        }
        return "no error";
    };
    EXPECT_EQ(errorOf(reply(502, "<html><body>Bad\ngateway</body></html>")),
              "502||Operation returned an invalid status 502 (Bad Gateway): "
              "<html><body>Bad gateway</body></html>");
    EXPECT_EQ(errorOf(reply(503)),
              "503||Operation returned an invalid status 503 (Service Unavailable)");
    EXPECT_EQ(errorOf(reply(400, R"({"error": {"code": "InvalidRequestFormat"}})")),
              "400|InvalidRequestFormat|(InvalidRequestFormat)");
    EXPECT_EQ(errorOf(reply(400, R"({"error": {"code": 7, "message": ["x"]}})")),
              "400||Operation returned an invalid status 400 (Bad Request): "
              R"({"error": {"code": 7, "message": ["x"]}})");
    EXPECT_EQ(errorOf(reply(409, R"({"code": "Conflict", "message": "bare shape"})")),
              "409|Conflict|(Conflict) bare shape");
    EXPECT_EQ(errorOf(reply(400, R"({"error": {"code": "BadRequest", "message": "",
        "details": [{"code": "InvalidQuery", "message": "Query is invalid"}]}})")),
              "400|BadRequest|(BadRequest) Query is invalid");
    EXPECT_EQ(
        errorOf(reply(500, R"({"error": {"code": "Internal)")),
        R"(500||Operation returned an invalid status 500 (Internal Server Error): {"error": {"code": "Internal)");

    transport->then(reply(404, R"({"error": {"code": "ResourceNotFound", "message": "gone"}})",
                          {{"x-ms-request-id", "r-404"}}));
    try {
        client.route_tables.get("rg-1", "missing");
        FAIL() << "expected ResourceNotFoundError";
    } catch (const ResourceNotFoundError& e) {
        EXPECT_STREQ(e.what(), "(ResourceNotFound) gone");
        EXPECT_EQ(e.requestId(), "r-404");
        EXPECT_EQ(e.method(), "GET");
    }
}

TEST_F(ArmClientTest, ExpiredTokenIsRenewedOnce) {
    transport->then(reply(401, R"({"error": {"code": "ExpiredAuthenticationToken"}})"));
    transport->then(reply(200, R"({"name": "v"})"));
    EXPECT_EQ(client.virtual_networks.get("rg-1", "v").name(), "v");
    EXPECT_EQ(RecordingTransport::header(request(1), "Authorization"), "Bearer token-2");

    transport->then(reply(401, R"({"error": {"code": "InvalidAuthenticationToken"}})"));
    transport->then(
        reply(401, R"({"error": {"code": "InvalidAuthenticationToken", "message": "no"}})"));
    EXPECT_THROW(client.virtual_networks.get("rg-1", "v"), ClientAuthenticationError);
    EXPECT_EQ(transport->requests.size(), 4u);
}

}  // namespace
}  // namespace dm::azure

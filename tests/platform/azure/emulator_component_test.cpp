// The clients over HTTPS against the in-process cloud emulator: every operation the tool uses,
// transient failures, refusals, and what a run costs in tokens and connections.

#include <gtest/gtest.h>

#include "emulator.hpp"
#include "platform/azure/errors.hpp"
#include "platform/azure/lock_client.hpp"
#include "platform/azure/network_client.hpp"
#include "platform/azure/resource_graph_client.hpp"
#include "platform/http/curl_transport.hpp"
#include "platform/http/retry.hpp"
#include "support/log_capture.hpp"

namespace dm::azure {
namespace {

using namespace std::chrono_literals;
using emu::Json;

const std::string kSub = "sub-1";
const std::string kRgId = "/subscriptions/sub-1/resourceGroups/rg-1";
const std::string kNet = kRgId + "/providers/Microsoft.Network";

Json topology() {
    return Json::parse(R"({
      "service_principals": [{"tenant": "tenant-1", "client_id": "client-1",
                              "client_secret": "secret-1"}],
      "subscriptions": [{"id": "sub-1", "resourceGroups": [{"name": "rg-1", "location": "eastus",
        "routeTables": [{"name": "rt-old"},
                        {"name": "rt-new", "tags": {"vnet": "spoke", "Org_RT": "org_rt-old"},
                         "disableBgpRoutePropagation": false}],
        "virtualNetworks": [
          {"name": "spoke", "addressPrefixes": ["10.1.0.0/16"],
           "subnets": [{"name": "app", "addressPrefix": "10.1.1.0/24", "routeTable": "rt-old",
                        "futureSetting": "kept"},
                       {"name": "GatewaySubnet", "addressPrefix": "10.1.255.0/27"}],
           "virtualNetworkPeerings": [{"name": "spoke-to-hubvnet",
                                       "remoteVirtualNetwork": "hubvnet"}]},
          {"name": "hubvnet", "addressPrefixes": ["10.0.0.0/16"],
           "virtualNetworkPeerings": [{"name": "hubvnet-to-spoke", "remoteVirtualNetwork": "spoke",
                                       "allowGatewayTransit": true}]},
          {"name": "vnet-3", "addressPrefixes": ["10.3.0.0/16"]}],
        "virtualNetworkGateways": [{"name": "gw", "gatewayType": "Vpn", "virtualNetwork": "spoke"}],
        "virtualHubs": [{"name": "vhub", "addressPrefix": "10.100.0.0/23",
                         "hubVirtualNetworkConnections": [{"name": "conn",
                                                           "remoteVirtualNetwork": "vnet-3"}]}]
      }]}],
      "locks": [{"scope": "/subscriptions/sub-1/resourceGroups/rg-1/providers/Microsoft.Network/virtualNetworks/hubvnet",
                 "name": "no-delete", "level": "CanNotDelete"}]
    })");
}

class EmulatorComponentTest : public ::testing::Test {
  protected:
    void SetUp() override {
        emu::EmulatorOptions options;
        options.topology = topology();
        options.lroPolls = 1;
        emulator = std::make_unique<emu::Emulator>(options);
        emulator->start();
    }
    void TearDown() override { emulator->stop(); }

    // A credential whose transport retries with recorded, instant waits; null `transport`
    // takes a default one.
    std::shared_ptr<TokenCredential> credential(std::shared_ptr<http::Transport> transport) {
        ClientSecretCredentialOptions o;
        o.tenantId = "tenant-1";
        o.clientId = "client-1";
        o.clientSecret = "secret-1";
        o.cloud = {"custom", emulator->loginUrl(), emulator->armUrl(),
                   emulator->armUrl() + "/.default", emulator->caFile()};
        o.transport = std::move(transport);
        return makeClientSecretCredential(std::move(o));
    }

    std::shared_ptr<http::Transport> retryingTransport() {
        http::CurlTransportOptions curl;
        curl.caBundle = emulator->caFile();
        http::RetryOptions retry;
        retry.sleep = [this](std::chrono::milliseconds d) { retryWaits.push_back(d); };
        retry.jitter = [] { return 0.5; };
        return std::make_shared<http::RetryingTransport>(http::makeCurlTransport(curl), retry);
    }

    ArmClientOptions fastPolls() {
        ArmClientOptions o;
        o.pollInterval = 0ms;
        o.lroDeadline = 60s;
        return o;
    }

    long counter(const char* name) const { return emulator->counters()[name].get<long>(); }

    std::unique_ptr<emu::Emulator> emulator;
    std::vector<std::chrono::milliseconds> retryWaits;
};

TEST_F(EmulatorComponentTest, VnetsSubnetsAndRouteTables) {
    NetworkManagementClient client(credential(retryingTransport()), kSub, fastPolls());
    emulator->setPageSize(2);
    auto vnets = client.virtual_networks.list_all();
    ASSERT_EQ(vnets.size(), 3u);
    EXPECT_EQ(vnets[0].name(), "spoke");
    EXPECT_EQ(vnets[2].name(), "vnet-3");
    EXPECT_EQ(client.virtual_networks.get("rg-1", "spoke").address_prefixes(),
              (std::vector<std::string>{"10.1.0.0/16"}));
    EXPECT_EQ(client.subnets.list("rg-1", "spoke").size(), 2u);
    EXPECT_EQ(client.route_tables.list_all().size(), 2u);

    // A subnet PUT that needs several polls returns the subnet as stored, unknown properties
    // included.
    emulator->setLroPolls(3);
    emulator->resetCounters();
    Subnet subnet = client.subnets.get("rg-1", "spoke", "app");
    EXPECT_EQ(subnet.route_table(), kNet + "/routeTables/rt-old");
    subnet.set_route_table(client.route_tables.get("rg-1", "rt-new"));
    Subnet stored = client.subnets.begin_create_or_update("rg-1", "spoke", "app", subnet).result();
    EXPECT_EQ(stored.route_table(), kNet + "/routeTables/rt-new");
    EXPECT_EQ(stored.json()["properties"]["futureSetting"], "kept");
    EXPECT_EQ(stored.provisioning_state(), "Succeeded");
    EXPECT_GE(counter("lro_poll"), 3);
    EXPECT_EQ(emulator->resource(
                  kNet + "/virtualNetworks/spoke/subnets/app")["properties"]["routeTable"]["id"],
              kNet + "/routeTables/rt-new");

    // Removing the association: a PUT without routeTable.
    stored.set_route_table(std::nullopt);
    EXPECT_EQ(client.subnets.begin_create_or_update("rg-1", "spoke", "app", stored)
                  .result()
                  .route_table(),
              std::nullopt);

    // Started and not waited on: one PUT, no polls, and the change lands when it completes.
    emulator->resetCounters();
    RouteTable table = client.route_tables.get("rg-1", "rt-new");
    table.set_disable_bgp_route_propagation(true);
    auto started = client.route_tables.begin_create_or_update("rg-1", "rt-new", table);
    EXPECT_EQ(counter("arm_write"), 1);
    EXPECT_EQ(counter("lro_poll"), 0);
    EXPECT_EQ(started.result().disable_bgp_route_propagation(), std::optional<bool>(true));
    EXPECT_EQ(client.route_tables.get("rg-1", "rt-new").tags()["Org_RT"], "org_rt-old");

    EXPECT_THROW(client.route_tables.get("rg-1", "rt-missing"), ResourceNotFoundError);
}

TEST_F(EmulatorComponentTest, PeeringsLocksHubsAndResourceGraph) {
    auto cred = credential(retryingTransport());
    NetworkManagementClient client(cred, kSub, fastPolls());
    ManagementLockClient locks(cred, kSub, fastPolls());

    auto peerings = client.virtual_network_peerings.list("rg-1", "hubvnet");
    ASSERT_EQ(peerings.size(), 1u);
    VirtualNetworkPeering saved =
        client.virtual_network_peerings.get("rg-1", "hubvnet", "hubvnet-to-spoke");
    EXPECT_EQ(saved.remote_virtual_network(), kNet + "/virtualNetworks/spoke");
    EXPECT_EQ(saved.allow_gateway_transit(), std::optional<bool>(true));
    EXPECT_EQ(saved.peering_state(), "Connected");

    // The VNet's CanNotDelete lock refuses the delete at once, before anything is polled.
    try {
        client.virtual_network_peerings.begin_delete("rg-1", "hubvnet", "hubvnet-to-spoke");
        FAIL() << "expected ScopeLocked";
    } catch (const ArmError& e) {
        EXPECT_EQ(e.status(), 409);
        EXPECT_EQ(e.code(), "ScopeLocked");
        EXPECT_FALSE(e.requestId().empty());
    }

    auto found = locks.management_locks.list_at_resource_level("rg-1", "Microsoft.Network", "",
                                                               "virtualNetworks", "hubvnet");
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].name(), "no-delete");
    EXPECT_EQ(found[0].level(), "CanNotDelete");
    locks.management_locks.delete_at_resource_level("rg-1", "Microsoft.Network", "",
                                                    "virtualNetworks", "hubvnet", "no-delete");
    EXPECT_TRUE(
        locks.management_locks
            .list_at_resource_level("rg-1", "Microsoft.Network", "", "virtualNetworks", "hubvnet")
            .empty());

    client.virtual_network_peerings.begin_delete("rg-1", "hubvnet", "hubvnet-to-spoke").result();
    EXPECT_THROW(client.virtual_network_peerings.get("rg-1", "hubvnet", "hubvnet-to-spoke"),
                 ResourceNotFoundError);
    EXPECT_EQ(
        client.virtual_network_peerings.get("rg-1", "spoke", "spoke-to-hubvnet").peering_state(),
        "Disconnected");
    // Deleting what is already gone completes without error.
    client.virtual_network_peerings.begin_delete("rg-1", "hubvnet", "hubvnet-to-spoke").result();

    // Re-created from a record that holds only what a revert knows of it.
    VirtualNetworkPeering again(
        Record{{"id", saved.id()},
               {"name", saved.name()},
               {"properties",
                {{"allowVirtualNetworkAccess", true},
                 {"allowForwardedTraffic", false},
                 {"allowGatewayTransit", true},
                 {"useRemoteGateways", false},
                 {"remoteVirtualNetwork", {{"id", *saved.remote_virtual_network()}}}}}});
    auto restored = client.virtual_network_peerings
                        .begin_create_or_update("rg-1", "hubvnet", "hubvnet-to-spoke", again)
                        .result();
    EXPECT_EQ(restored.allow_gateway_transit(), std::optional<bool>(true));
    EXPECT_EQ(restored.remote_virtual_network(), kNet + "/virtualNetworks/spoke");

    // Hubs and their connections.
    ASSERT_EQ(client.virtual_hubs.list().size(), 1u);
    EXPECT_EQ(client.virtual_hubs.list_by_resource_group("rg-1")[0].name(), "vhub");
    auto connections = client.hub_virtual_network_connections.list("rg-1", "vhub");
    ASSERT_EQ(connections.size(), 1u);
    auto connection = client.hub_virtual_network_connections.get("rg-1", "vhub", "conn");
    EXPECT_EQ(connection.remote_virtual_network(), kNet + "/virtualNetworks/vnet-3");
    client.hub_virtual_network_connections.begin_delete("rg-1", "vhub", "conn").result();
    EXPECT_TRUE(client.hub_virtual_network_connections.list("rg-1", "vhub").empty());
    client.hub_virtual_network_connections
        .begin_create_or_update("rg-1", "vhub", "conn", connection)
        .result();
    EXPECT_EQ(client.hub_virtual_network_connections.list("rg-1", "vhub").size(), 1u);

    // The gateway query finds the spoke's VPN gateway and nothing for a VNet without one.
    ResourceGraphClient graph(cred, fastPolls());
    auto query = [&](const std::string& vnetId) {
        return graph.resources(QueryRequest{
            {kSub},
            "Resources | where type =~ 'Microsoft.Network/virtualNetworkGateways' | mvexpand "
            "nics=properties.networkProfile | mvexpand ipconfig=properties.ipConfigurations | "
            "where ipconfig.properties.subnet.id =~ '" +
                vnetId + "/subnets/GatewaySubnet' | project properties.gatewayType",
            QueryRequestOptions{"objectArray"}});
    };
    auto answer = query(kNet + "/virtualNetworks/SPOKE");
    EXPECT_EQ(answer.total_records, 1);
    EXPECT_EQ(answer.data[0]["properties_gatewayType"], "Vpn");
    EXPECT_EQ(query(kNet + "/virtualNetworks/vnet-3").total_records, 0);
}

TEST_F(EmulatorComponentTest, TransientFailuresAreRetriedAndOthersAreNot) {
    NetworkManagementClient client(credential(retryingTransport()), kSub, fastPolls());
    client.virtual_networks.get("rg-1", "spoke");  // token and connection in place
    const std::string spoke = "virtualNetworks/spoke$";
    dm::testing::LogCapture log({"dm.http"}, spdlog::level::warn);

    emulator->injectFault({{"kind", "status"},
                           {"method", "GET"},
                           {"path", spoke},
                           {"status", 429},
                           {"retry_after", 1},
                           {"count", 1}});
    EXPECT_EQ(client.virtual_networks.get("rg-1", "spoke").name(), "spoke");
    ASSERT_EQ(retryWaits.size(), 1u);
    EXPECT_EQ(retryWaits[0], 1000ms);

    emulator->resetCounters();
    emulator->injectFault(
        {{"kind", "status"}, {"method", "GET"}, {"path", spoke}, {"status", 503}, {"count", 2}});
    EXPECT_EQ(client.virtual_networks.get("rg-1", "spoke").name(), "spoke");
    EXPECT_EQ(counter("arm_read"), 3);

    emulator->resetCounters();
    emulator->injectFault({{"kind", "drop"}, {"method", "GET"}, {"path", spoke}, {"count", 1}});
    EXPECT_EQ(client.virtual_networks.get("rg-1", "spoke").name(), "spoke");
    // Dropped on the kept-alive connection: retried and logged like the statuses above.
    EXPECT_TRUE(
        log.contains("failed: the server closed the connection without answering) "
                     "(attempt 2 of 5, waiting "));
    EXPECT_EQ(counter("faults_fired"), 1);
    EXPECT_EQ(counter("arm_read"), 2);

    emulator->resetCounters();
    EXPECT_THROW(client.virtual_networks.get("rg-1", "nowhere"), ResourceNotFoundError);
    EXPECT_EQ(counter("arm_read"), 1);

    emulator->injectFault({{"kind", "lro_failed"},
                           {"method", "PUT"},
                           {"path", "subnets/app$"},
                           {"code", "InUseSubnetCannotBeDeleted"},
                           {"message", "in use"}});
    Subnet subnet = client.subnets.get("rg-1", "spoke", "app");
    auto poller = client.subnets.begin_create_or_update("rg-1", "spoke", "app", subnet);
    try {
        poller.result();
        FAIL() << "expected the operation to fail";
    } catch (const ArmError& e) {
        EXPECT_EQ(e.what(), "(InUseSubnetCannotBeDeleted) in use (PUT " + kNet +
                                "/virtualNetworks/spoke/subnets/app)");
        EXPECT_EQ(e.method(), "PUT");
        EXPECT_EQ(e.resourceId(), kNet + "/virtualNetworks/spoke/subnets/app");
    }
}

// One failed operation with a transient code on each write the emulator can fail: the write is
// sent again, with a warning, and ends as wanted.
TEST_F(EmulatorComponentTest, WritesSurviveOneTransientFailedOperation) {
    ArmClientOptions options = fastPolls();
    options.operationRetryDelay = 0ms;
    NetworkManagementClient c(credential(retryingTransport()), kSub, options);
    auto& peerings = c.virtual_network_peerings;
    auto& hubs = c.hub_virtual_network_connections;
    Subnet subnet = c.subnets.get("rg-1", "spoke", "app");
    RouteTable table = c.route_tables.get("rg-1", "rt-new");
    VirtualNetworkPeering peering = peerings.get("rg-1", "spoke", "spoke-to-hubvnet");
    HubVirtualNetworkConnection hubConn = hubs.get("rg-1", "vhub", "conn");
    auto putPeering = [&] {
        peerings.begin_create_or_update("rg-1", "spoke", "spoke-to-hubvnet", peering).result();
    };
    const std::tuple<std::string, Resource*, std::string, std::function<void()>> cases[] = {
        {"PUT", &subnet, "InternalServerError",
         [&] { c.subnets.begin_create_or_update("rg-1", "spoke", "app", subnet).result(); }},
        {"PUT", &table, "RetryableError",
         [&] { c.route_tables.begin_create_or_update("rg-1", "rt-new", table).result(); }},
        {"PUT", &peering, "ServiceUnavailable", putPeering},
        {"DELETE", &peering, "AnotherOperationInProgress",
         [&] { peerings.begin_delete("rg-1", "spoke", "spoke-to-hubvnet").result(); }},
        {"PUT", &peering, "InternalServerError", putPeering},  // created again
        {"DELETE", &hubConn, "InternalServerError",
         [&] { hubs.begin_delete("rg-1", "vhub", "conn").result(); }},
        {"PUT", &hubConn, "InternalServerError",
         [&] { hubs.begin_create_or_update("rg-1", "vhub", "conn", hubConn).result(); }},
    };
    int n = 0;
    for (const auto& [method, record, code, write] : cases) {
        const std::string id = record->id();
        SCOPED_TRACE(method + " " + id);
        record->set_tags({{"case", ++n}});
        emulator->injectFault(
            {{"kind", "lro_failed"}, {"method", method}, {"path", id + "$"}, {"code", code}});
        dm::testing::LogCapture log({"dm.azure"}, spdlog::level::warn);
        EXPECT_NO_THROW(write());
        const Json now = emulator->resource(id);
        EXPECT_TRUE(method == "DELETE" ? now.is_null() : now["tags"]["case"] == n) << now;
        EXPECT_TRUE(log.contains("warning: Retrying " + method + " " + id +
                                 " after its operation ended Failed " + code +
                                 " (attempt 2 of 5, waiting 0.0 s)"))
            << log.text();
    }
}

TEST_F(EmulatorComponentTest, OneTokenAndOneConnectionForARun) {
    // As a run uses them: every client of the principal's one credential shares its token and
    // its transport.
    auto cred = credential(defaultTransport(emulator->caFile()));
    NetworkManagementClient network(cred, kSub);
    ManagementLockClient locks(cred, kSub);
    emulator->resetCounters();

    for (int i = 0; i < 3; ++i) {
        network.virtual_networks.list_all();
        network.subnets.list("rg-1", "spoke");
        locks.management_locks.list_at_resource_level("rg-1", "Microsoft.Network", "",
                                                      "virtualNetworks", "spoke");
    }
    EXPECT_EQ(counter("token_grants"), 1);
    EXPECT_EQ(counter("tls_connections"), 1);
    EXPECT_EQ(counter("arm_read"), 9);
}

}  // namespace
}  // namespace dm::azure

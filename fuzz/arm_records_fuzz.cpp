// ARM's answers as the clients read them: list pages and their next links, single records,
// long-running operations and their polls, error bodies, Resource Graph answers and token
// grants. The input is an operation line and the answers (see fuzz_support.hpp), sent through
// the retry policy as in a run. Beyond not crashing, it checks what the readers promise: every
// JSON text reads as nlohmann's parser reads it, and a list item answers each read as the typed
// record built from it does.

#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/error.hpp"
#include "core/json.hpp"
#include "fuzz_support.hpp"
#include "platform/azure/errors.hpp"
#include "platform/azure/lock_client.hpp"
#include "platform/azure/network_client.hpp"
#include "platform/azure/resource_graph_client.hpp"
#include "platform/http/retry.hpp"

namespace {

using namespace dm::azure;
using dm::Record;
using dm::fuzz::require;

// Same kinds, same values, same key order: what "reads as nlohmann's parser reads it" means.
bool sameRecord(const Record& a, const Record& b) {
    if (a.type() != b.type())
        return false;
    if (a.is_object()) {
        if (a.size() != b.size())
            return false;
        for (auto i = a.begin(), j = b.begin(); i != a.end(); ++i, ++j) {
            if (i.key() != j.key() || !sameRecord(i.value(), j.value()))
                return false;
        }
        return true;
    }
    if (a.is_array()) {
        if (a.size() != b.size())
            return false;
        for (std::size_t i = 0; i < a.size(); ++i) {
            if (!sameRecord(a[i], b[i]))
                return false;
        }
        return true;
    }
    if (a.is_number_float()) {
        const double x = a.get<double>(), y = b.get<double>();
        return x == y && std::signbit(x) == std::signbit(y);
    }
    return a == b;
}

void checkJsonReading(const std::string& text) {
    const auto fast = dm::parseJson(text);
    // nlohmann's parse, within the depth every reader keeps to.
    const Record reference = dm::jsonDeeperThan(text, dm::kMaxJsonDepth)
                                 ? Record(Record::value_t::discarded)
                                 : Record::parse(text, nullptr, false);
    require(fast.has_value() != reference.is_discarded(),
            "parseJson and nlohmann disagree on: " + text);
    if (fast)
        require(sameRecord(*fast, reference), "parseJson reads otherwise than nlohmann: " + text);
}

// The reads of every listed resource against the typed record's.
template <class T>
T checkListed(const ListItem<T>& item) {
    T typed = item.resource();
    require(item.id() == typed.id(), "id of " + typed.toString());
    require(item.name() == typed.name(), "name of " + typed.toString());
    require(item.type() == typed.type(), "type of " + typed.toString());
    require(item.location() == typed.location(), "location of " + typed.toString());
    require(item.provisioning_state() == typed.provisioning_state(),
            "provisioning state of " + typed.toString());
    require(sameRecord(item.tags(), typed.tags()), "tags of " + typed.toString());
    require(item.tag("env") == typed.tag("env"), "tag of " + typed.toString());
    typed.writeBody();
    return typed;
}

void readSubnet(const Subnet& subnet) {
    subnet.address_prefix();
    subnet.address_prefixes();
    subnet.route_table();
    subnet.network_security_group();
}

void readPeering(const VirtualNetworkPeering& peering) {
    peering.remote_virtual_network();
    peering.allow_virtual_network_access();
    peering.allow_forwarded_traffic();
    peering.allow_gateway_transit();
    peering.use_remote_gateways();
    peering.peering_state();
}

// A clock that moves only when the code under test sleeps.
struct FakeTime {
    std::chrono::steady_clock::time_point now{};
    void sleep(std::chrono::milliseconds delay) { now += delay; }
};

const std::string kRg = "rg-1";

void run(const std::string& operation, NetworkManagementClient& network,
         ManagementLockClient& locks, ResourceGraphClient& graph,
         const std::shared_ptr<dm::http::Transport>& transport) {
    if (operation == "vnets") {
        for (const auto& item : network.virtual_networks.list_all()) {
            VirtualNetwork vnet = checkListed(item);
            vnet.address_prefixes();
            for (const auto& subnet : vnet.subnets())
                readSubnet(subnet);
            for (const auto& peering : vnet.virtual_network_peerings())
                readPeering(peering);
        }
    } else if (operation == "subnets") {
        for (const auto& item : network.subnets.list(kRg, "spoke1")) {
            require(item.route_table() == checkListed(item).route_table(), "subnet's route table");
            readSubnet(item.resource());
        }
    } else if (operation == "route_tables") {
        for (const auto& item : network.route_tables.list_all()) {
            RouteTable table = checkListed(item);
            table.disable_bgp_route_propagation();
            table.routes();
            if (auto subnets = table.subnets()) {
                for (const auto& subnet : *subnets)
                    readSubnet(subnet);
            }
        }
    } else if (operation == "peerings") {
        for (const auto& item : network.virtual_network_peerings.list(kRg, "spoke1")) {
            VirtualNetworkPeering peering = checkListed(item);
            require(item.remote_virtual_network() == peering.remote_virtual_network(),
                    "peering's remote VNet");
            readPeering(peering);
        }
    } else if (operation == "hubs") {
        for (const auto& item : network.virtual_hubs.list()) {
            VirtualHub hub = checkListed(item);
            hub.address_prefix();
            hub.virtual_wan();
        }
        for (const auto& item : network.hub_virtual_network_connections.list(kRg, "hub")) {
            HubVirtualNetworkConnection connection = checkListed(item);
            require(item.remote_virtual_network() == connection.remote_virtual_network(),
                    "connection's remote VNet");
            connection.enable_internet_security();
            connection.routing_configuration();
        }
    } else if (operation == "get") {
        VirtualNetwork vnet = network.virtual_networks.get(kRg, "spoke1");
        for (const auto& subnet : vnet.subnets())
            readSubnet(subnet);
        readPeering(network.virtual_network_peerings.get(kRg, "spoke1", "p1"));
    } else if (operation == "put") {
        RouteTable table(Record{{"name", "rt"}, {"location", "eastus"}});
        RouteTable stored = network.route_tables.begin_create_or_update(kRg, "rt", table).result();
        stored.routes();
        stored.disable_bgp_route_propagation();
    } else if (operation == "put_connection") {
        HubVirtualNetworkConnection connection(Record{{"name", "c"}});
        network.hub_virtual_network_connections.begin_create_or_update(kRg, "hub", "c", connection)
            .result()
            .writeBody();
    } else if (operation == "delete") {
        auto poller = network.virtual_network_peerings.begin_delete(kRg, "spoke1", "p1");
        poller.status();
        poller.result();
    } else if (operation == "locks") {
        for (const auto& lock : locks.management_locks.list_at_resource_level(
                 kRg, "Microsoft.Network", "", "virtualNetworks", "spoke1")) {
            lock.level();
            lock.notes();
        }
        locks.management_locks.delete_at_resource_level(kRg, "Microsoft.Network", "",
                                                        "virtualNetworks", "spoke1", "lock");
    } else if (operation == "graph") {
        QueryRequest query;
        query.subscriptions = {"sub-1"};
        query.query = "Resources | limit 1";
        QueryResponse answer = graph.resources(query);
        (void)answer;
    } else if (operation == "token") {
        ClientSecretCredentialOptions options;
        options.tenantId = "tenant";
        options.clientId = "client";
        options.clientSecret = "secret";
        options.cloud.authorityHost = "https://login.fuzz";
        options.transport = transport;
        options.clock = [] {
            return std::chrono::system_clock::time_point(std::chrono::hours(480'000));
        };
        auto credential = makeClientSecretCredential(options);
        credential->getToken("https://arm.fuzz/.default");
        credential->getToken("https://arm.fuzz/.default");
    }
}

const std::vector<std::string> kOperations = {"vnets",  "subnets", "route_tables", "peerings",
                                              "hubs",   "get",     "put",          "put_connection",
                                              "delete", "locks",   "graph",        "token"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    dm::fuzz::FreshRun fresh;
    dm::fuzz::Script script = dm::fuzz::readScript(data, size, kOperations);
    const std::string& operation = script.operation;
    for (const auto& response : script.answers) {
        checkJsonReading(response.body);
        makeArmError(response, "GET", "/subscriptions/sub-1");
    }

    auto time = std::make_shared<FakeTime>();
    auto scripted = std::make_shared<dm::fuzz::ScriptedTransport>(std::move(script.answers),
                                                                  dm::fuzz::answer(200, "{}"));
    dm::http::RetryOptions retry;
    retry.clock = [time] { return time->now; };
    retry.sleep = [time](std::chrono::milliseconds delay) { time->sleep(delay); };
    retry.wallClock = [] {
        return std::chrono::system_clock::time_point(std::chrono::hours(480'000));
    };
    retry.jitter = [] { return 0.5; };
    auto transport = std::make_shared<dm::http::RetryingTransport>(scripted, retry);

    ArmClientOptions options;
    options.transport = transport;
    options.clock = [time] { return time->now; };
    options.sleep = [time](std::chrono::milliseconds delay) { time->sleep(delay); };
    auto credential = std::make_shared<dm::fuzz::StaticCredential>(transport);
    NetworkManagementClient network(credential, "sub-1", options);
    ManagementLockClient locks(credential, "sub-1", options);
    ResourceGraphClient graph(credential, options);
    try {
        run(operation, network, locks, graph, transport);
    } catch (const dm::Error&) {
    }
    return 0;
}

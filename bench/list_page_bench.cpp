// Reading ARM list answers as discovery does: every route table and VNet of a subscription, and
// every peering of a hub VNet, read for a name, an id, the "vnet" tag or a peering's remote end,
// with a few items built whole. Also a full and a selecting parse of a large reply. Meant to run
// under `valgrind --tool=callgrind`: the measure* functions are what to read.
//
//   list_page_bench [TABLES] [ROUNDS]

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>

#include "core/json.hpp"
#include "platform/azure/network_client.hpp"

namespace {

using namespace dm;
using namespace dm::azure;

constexpr int kPageSize = 50;
const std::string kEndpoint = "https://arm.bench";
const std::string kSub = "/subscriptions/00000000-0000-0000-0000-000000000001";

std::string routeTable(int i) {
    const std::string n = std::to_string(i);
    const std::string rg = kSub + "/resourceGroups/rg-" + std::to_string(i % 2);
    const std::string vnet = "spoke-" + std::to_string(i / 4);
    return R"({"name": "rt-)" + n + R"(", "id": ")" + rg +
           R"(/providers/Microsoft.Network/routeTables/rt-)" + n + R"(", "etag": "W/\"0f1e2d3c-)" +
           n +
           R"(\"", "type": "Microsoft.Network/routeTables", "location": "eastus",
        "tags": {"vnet": ")" +
           vnet + R"(", "Org_RT": "org_rt-)" + n + R"(", "owner": "network-team"},
        "properties": {"provisioningState": "Succeeded", "resourceGuid": "6f1c8d2e-)" +
           n +
           R"(", "disableBgpRoutePropagation": false,
          "routes": [{"name": "default", "id": ")" +
           rg + "/providers/Microsoft.Network/routeTables/rt-" + n +
           R"(/routes/default", "properties": {"provisioningState": "Succeeded",
            "addressPrefix": "0.0.0.0/0", "nextHopType": "VirtualAppliance",
            "nextHopIpAddress": "10.0.0.4", "hasBgpOverride": false}}],
          "subnets": [{"id": ")" +
           rg + "/providers/Microsoft.Network/virtualNetworks/" + vnet + R"(/subnets/app"},
                      {"id": ")" +
           rg + "/providers/Microsoft.Network/virtualNetworks/" + vnet + R"(/subnets/web"}]}})";
}

std::string peering(int i) {
    const std::string n = std::to_string(i);
    return R"({"name": "hub-to-spoke-)" + n + R"(", "id": ")" + kSub +
           R"(/resourceGroups/hub/providers/Microsoft.Network/virtualNetworks/hub-vnet/virtualNetworkPeerings/hub-to-spoke-)" +
           n +
           R"(", "etag": "W/\"1\"", "type": "Microsoft.Network/virtualNetworks/virtualNetworkPeerings",
        "properties": {"provisioningState": "Succeeded", "peeringState": "Connected",
          "peeringSyncLevel": "FullyInSync", "remoteVirtualNetwork": {"id": ")" +
           kSub + "/resourceGroups/rg-" + std::to_string(i % 2) +
           "/providers/Microsoft.Network/virtualNetworks/spoke-" + n +
           R"("}, "allowVirtualNetworkAccess": true, "allowForwardedTraffic": true,
          "allowGatewayTransit": true, "useRemoteGateways": false,
          "remoteAddressSpace": {"addressPrefixes": ["10.)" +
           std::to_string(i % 250) + R"(.0.0/20"]},
          "remoteVirtualNetworkAddressSpace": {"addressPrefixes": ["10.)" +
           std::to_string(i % 250) + R"(.0.0/20"]}}})";
}

std::string vnet(int i) {
    const std::string n = std::to_string(i);
    const std::string id = kSub + "/resourceGroups/rg-" + std::to_string(i % 2) +
                           "/providers/Microsoft.Network/virtualNetworks/spoke-" + n;
    std::string subnets;
    for (const char* s : {"app", "web", "data", "tlvx-spoke-gw-subnet"}) {
        if (!subnets.empty())
            subnets += ", ";
        subnets += R"({"name": ")" + std::string(s) + R"(", "id": ")" + id + "/subnets/" + s +
                   R"(", "etag": "W/\"2\"", "properties": {"provisioningState": "Succeeded",
            "addressPrefix": "10.1.0.0/24", "routeTable": {"id": ")" +
                   kSub + "/resourceGroups/rg-0/providers/Microsoft.Network/routeTables/rt-" + n +
                   R"("}, "privateEndpointNetworkPolicies": "Disabled",
            "privateLinkServiceNetworkPolicies": "Enabled"}, "type": "Microsoft.Network/virtualNetworks/subnets"})";
    }
    return R"({"name": "spoke-)" + n + R"(", "id": ")" + id +
           R"(", "etag": "W/\"3\"", "type": "Microsoft.Network/virtualNetworks", "location": "eastus",
        "tags": {"env": "bench"}, "properties": {"provisioningState": "Succeeded",
          "resourceGuid": "0e9d8c7b-)" +
           n + R"(", "addressSpace": {"addressPrefixes": ["10.1.0.0/20"]},
          "subnets": [)" +
           subnets + R"(], "virtualNetworkPeerings": [)" + peering(i) +
           R"(], "enableDdosProtection": false}})";
}

// Pages of kPageSize items, chained by nextLink as ARM chains them.
void addPages(std::map<std::string, std::string>& pages, const std::string& path, int count,
              std::string (*item)(int)) {
    const std::string first = kEndpoint + path + "?api-version=2024-05-01";
    for (int page = 0; page * kPageSize < count || page == 0; ++page) {
        std::string body = R"({"value": [)";
        for (int i = page * kPageSize; i < count && i < (page + 1) * kPageSize; ++i) {
            if (i != page * kPageSize)
                body += ", ";
            body += item(i);
        }
        body += "]";
        if ((page + 1) * kPageSize < count) {
            body +=
                R"(, "nextLink": ")" + first + "&$skiptoken=" + std::to_string(page + 1) + R"(")";
        }
        body += "}";
        pages[page == 0 ? first : first + "&$skiptoken=" + std::to_string(page)] = body;
    }
}

class PageTransport : public http::Transport {
  public:
    http::Response send(const http::Request& request) override {
        http::Response response;
        auto it = pages.find(request.url);
        response.status = it == pages.end() ? 404 : 200;
        if (it != pages.end())
            response.body = it->second;
        return response;
    }
    std::map<std::string, std::string> pages;
};

class BenchCredential : public TokenCredential {
  public:
    explicit BenchCredential(std::shared_ptr<http::Transport> transport)
        : transport_(std::move(transport)) {
        cloud_.name = "bench";
        cloud_.resourceManager = kEndpoint;
        cloud_.authorityHost = "https://login.bench";
        cloud_.tokenScope = kEndpoint + "/.default";
    }
    AccessToken getToken(const std::string&) override {
        return {"token", std::chrono::system_clock::now() + std::chrono::hours(1)};
    }
    const AzureCloud& cloud() const override { return cloud_; }
    std::shared_ptr<http::Transport> transport() const override { return transport_; }

  private:
    AzureCloud cloud_;
    std::shared_ptr<http::Transport> transport_;
};

std::size_t sink = 0;

// Discovery's pass over the subscription's route tables: a name map, the "vnet" tag of each,
// the id of those that match, and the matching tables built whole.
__attribute__((noinline)) void measureRouteTables(const NetworkManagementClient& client) {
    const auto tables = client.route_tables.list_all();
    for (const auto& table : tables) {
        sink += table.name().size();
        if (table.tag("vnet") == std::string("spoke-7")) {
            sink += table.id().size();
            sink += table.json().size();
        }
    }
}

// The account's pass over the subscription's VNets: each name, one VNet built whole.
__attribute__((noinline)) void measureVnets(const NetworkManagementClient& client) {
    const auto vnets = client.virtual_networks.list_all();
    for (const auto& vnet : vnets) {
        if (vnet.name() == "spoke-7")
            sink += vnet.resource().subnets().size();
    }
}

// The remote end of a hub peering: every peering of the hub read for its remote VNet.
__attribute__((noinline)) void measurePeerings(const NetworkManagementClient& client) {
    const auto peerings = client.virtual_network_peerings.list("hub", "hub-vnet");
    for (const auto& p : peerings) {
        auto remote = p.remote_virtual_network();
        if (remote && remote->ends_with("/spoke-7"))
            sink += p.json().size();
    }
}

// A whole reply read as Records, and read for one entry's two fields.
__attribute__((noinline)) void measureParses(const std::string& text) {
    auto full = parseJson(text);
    sink += full ? full->size() : 0;
    const ListSelection one{"value", {"name", "id"}, std::pair{"name", "rt-7"}};
    auto selected = parseJsonSelecting(text, one);
    sink += selected ? selected->size() : 0;
}

}  // namespace

int main(int argc, char** argv) {
    const int tables = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    auto transport = std::make_shared<PageTransport>();
    addPages(transport->pages, kSub + "/providers/Microsoft.Network/routeTables", tables,
             routeTable);
    addPages(transport->pages, kSub + "/providers/Microsoft.Network/virtualNetworks", tables / 4,
             vnet);
    addPages(transport->pages,
             kSub +
                 "/resourceGroups/hub/providers/Microsoft.Network/virtualNetworks/hub-vnet/"
                 "virtualNetworkPeerings",
             tables, peering);
    std::string onePage = R"({"value": [)";
    for (int i = 0; i < tables; ++i)
        onePage += (i ? ", " : "") + routeTable(i);
    onePage += "]}";

    const NetworkManagementClient client(std::make_shared<BenchCredential>(transport),
                                         "00000000-0000-0000-0000-000000000001");
    for (int round = 0; round < rounds; ++round) {
        measureRouteTables(client);
        measureVnets(client);
        measurePeerings(client);
        measureParses(onePage);
    }
    std::printf("%zu\n", sink);
    return 0;
}

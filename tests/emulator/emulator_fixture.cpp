#include "emulator_fixture.hpp"

#include <strings.h>

namespace dm::emu::testing {

std::string Resp::header(const std::string& name) const {
    for (const auto& [k, v] : headers) {
        if (::strcasecmp(k.c_str(), name.c_str()) == 0) {
            return v;
        }
    }
    return "";
}

Client::Client(const Emulator& emu) : cli_("127.0.0.1", emu.port()), base_(emu.baseUrl()) {
    cli_.set_ca_cert_path(emu.caFile().c_str());
    cli_.enable_server_certificate_verification(true);
    cli_.set_keep_alive(true);
    cli_.set_read_timeout(10, 0);
}

httplib::Headers Client::headers() const {
    httplib::Headers h;
    if (!token.empty()) {
        h.emplace("Authorization", "Bearer " + token);
    }
    return h;
}

Resp Client::wrap(const httplib::Result& r) {
    Resp out;
    if (!r) {
        return out;
    }
    out.status = r->status;
    out.headers = r->headers;
    out.text = r->body;
    out.body = Json::parse(r->body, nullptr, false);
    if (out.body.is_discarded()) {
        out.body = nullptr;
    }
    return out;
}

Resp Client::get(const std::string& path) {
    return wrap(cli_.Get(path, headers()));
}

Resp Client::put(const std::string& path, const Json& body) {
    return wrap(cli_.Put(path, headers(), body.dump(), "application/json"));
}

Resp Client::del(const std::string& path) {
    return wrap(cli_.Delete(path, headers()));
}

Resp Client::post(const std::string& path, const std::string& body, const std::string& type) {
    return wrap(cli_.Post(path, headers(), body, type.c_str()));
}

Resp Client::login(const std::string& tenant, const std::string& clientId,
                   const std::string& secret) {
    const std::string form = "grant_type=client_credentials&client_id=" + clientId +
                             "&client_secret=" + secret +
                             "&scope=https%3A%2F%2Fmanagement.azure.com%2F.default";
    Resp r = post("/" + tenant + "/oauth2/v2.0/token", form, "application/x-www-form-urlencoded");
    if (r.status == 200) {
        token = r.body["access_token"].get<std::string>();
    }
    return r;
}

Json Client::waitFor(const Resp& started, int* polls) {
    std::string url = started.header("Azure-AsyncOperation");
    EXPECT_EQ(url.rfind(base_, 0), 0u) << url;
    url = url.substr(base_.size());
    for (int i = 0; i < 50; ++i) {
        Resp r = get(url);
        if (polls != nullptr) {
            ++*polls;
        }
        const std::string status = r.body.value("status", "");
        if (status != "InProgress") {
            return r.body;
        }
    }
    ADD_FAILURE() << "operation never finished: " << url;
    return nullptr;
}

Json baseTopology() {
    const std::string rg2 = "/subscriptions/" + kSub2 + "/resourceGroups/rg2";
    return Json::parse(R"({
      "service_principals": [
        {"tenant": "tenant-1", "client_id": "app-1", "client_secret": "s3cret"},
        {"tenant": "tenant-1", "client_id": "app-2", "client_secret": "other",
         "subscriptions": [")" +
                       kSub + R"("]}
      ],
      "subscriptions": [
        {"id": ")" + kSub +
                       R"(", "resourceGroups": [{"name": "rg1", "location": "eastus",
          "routeTables": [
            {"name": "rt-app", "tags": {"env": "prod"}, "disableBgpRoutePropagation": false,
             "routes": [{"name": "default", "addressPrefix": "0.0.0.0/0",
                         "nextHopType": "VirtualAppliance", "nextHopIpAddress": "10.0.0.4"}]},
            {"name": "rt-new", "tags": {"vnet": "spoke-a", "Org_RT": "rt-app"}},
            {"name": "rt-west", "location": "westus"}
          ],
          "virtualNetworks": [
            {"name": "spoke-a", "addressPrefixes": ["10.1.0.0/16"],
             "subnets": [
               {"name": "app", "addressPrefix": "10.1.1.0/24", "routeTable": "rt-app",
                "networkSecurityGroup": ")" +
                       kNet + R"(/networkSecurityGroups/nsg-app"},
               {"name": "GatewaySubnet", "addressPrefix": "10.1.255.0/27"}],
             "virtualNetworkPeerings": [{"name": "to-hub", "remoteVirtualNetwork": "hub",
                                         "allowForwardedTraffic": true}]},
            {"name": "hub", "addressPrefixes": ["10.0.0.0/16"],
             "virtualNetworkPeerings": [{"name": "to-a", "remoteVirtualNetwork": "spoke-a",
                                         "allowGatewayTransit": true}]},
            {"name": "spoke-b", "addressPrefixes": ["10.2.0.0/16"]}
          ],
          "virtualNetworkGateways": [
            {"name": "vpn-a", "gatewayType": "Vpn", "virtualNetwork": "spoke-a"},
            {"name": "er-hub", "gatewayType": "ExpressRoute", "virtualNetwork": "hub"}
          ],
          "virtualHubs": [
            {"name": "vhub-eastus", "addressPrefix": "10.100.0.0/23",
             "hubVirtualNetworkConnections": [{"name": "conn-b", "remoteVirtualNetwork": "spoke-b"}]}
          ]}]},
        {"id": ")" + kSub2 +
                       R"(", "resourceGroups": [{"name": "rg2", "location": "eastus",
          "virtualNetworks": [{"name": "spoke-c", "addressPrefixes": ["10.3.0.0/16"]}]}]}
      ],
      "controller": {}
    })");
}

EmulatorOptions EmulatorTest::options() {
    EmulatorOptions o;
    o.topology = baseTopology();
    return o;
}

void EmulatorTest::SetUp() {
    emu = std::make_unique<Emulator>(options());
    emu->start();
    client = std::make_unique<Client>(*emu);
    ASSERT_EQ(client->login().status, 200);
}

void EmulatorTest::TearDown() {
    client.reset();
    if (emu) {
        emu->stop();
    }
}

}  // namespace dm::emu::testing

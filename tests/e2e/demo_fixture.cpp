#include "demo_fixture.hpp"

#include <stdlib.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>

namespace dm::test {

namespace fs = std::filesystem;

fs::path demoSource() {
    return fs::path(DM_SOURCE_DIR) / "examples/demo";
}

std::string slurp(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::map<std::string, std::string> facts(const Json& state, bool withLocks) {
    std::map<std::string, std::string> out;
    for (const auto& sub : state["subscriptions"]) {
        for (const auto& rg : sub["resourceGroups"]) {
            for (const auto& rt : rg.value("routeTables", Json::array())) {
                out["rt " + rt["name"].get<std::string>()] =
                    rt.value("disableBgpRoutePropagation", false) ? "off" : "on";
            }
            for (const auto& vnet : rg.value("virtualNetworks", Json::array())) {
                const std::string v = vnet["name"];
                for (const auto& s : vnet.value("subnets", Json::array())) {
                    std::string rt;
                    if (s.contains("routeTable")) {
                        const Json& ref = s["routeTable"];
                        rt = ref.is_string() ? ref.get<std::string>() : ref.value("id", "");
                        rt = rt.substr(rt.rfind('/') + 1);
                    }
                    out["subnet " + v + "/" + s["name"].get<std::string>()] = rt;
                }
                for (const auto& p : vnet.value("virtualNetworkPeerings", Json::array())) {
                    std::string name = p["name"];
                    if (name.rfind("RemoteVnetToHubPeering_", 0) == 0)
                        name = "hub-peering";
                    out["peering " + v + "/" + name] =
                        std::string(p.value("useRemoteGateways", false) ? "remote-gw " : "") +
                        (p.value("allowGatewayTransit", false) ? "transit " : "") +
                        (p.value("allowForwardedTraffic", false) ? "forwarded " : "") +
                        p.value("peeringState", "");
                }
            }
            for (const auto& hub : rg.value("virtualHubs", Json::array())) {
                for (const auto& c : hub.value("hubVirtualNetworkConnections", Json::array())) {
                    out["hubconn " + c["name"].get<std::string>()] = "present";
                }
            }
        }
    }
    if (withLocks) {
        for (const auto& lock : state.value("locks", Json::array())) {
            out["lock " + lock["name"].get<std::string>()] = lock.value("level", "");
        }
    }
    const Json& ctrl = state["controller"];
    for (const auto& a : ctrl.value("attachments", Json::array())) {
        out["attachment " + a["spoke_gw_name"].get<std::string>()] = a["transit_gw_name"];
    }
    for (const auto& g : ctrl.value("gateways", Json::array())) {
        out["adv " + g["gw_name"].get<std::string>()] =
            g.value("advertised_cidrs", Json::array()).dump();
    }
    for (const auto& d : ctrl.value("security_domains", Json::array())) {
        out["domain " + d["domain_name"].get<std::string>()] = d["attachments"].dump();
    }
    return out;
}

DemoWorkspace::DemoWorkspace(const std::vector<std::string>& emulatorArgs, const Json& topology) {
    char pattern[] = "/tmp/dm-e2e-XXXXXX";
    if (!mkdtemp(pattern))
        throw std::runtime_error("mkdtemp failed");
    work_ = pattern;
    fs::path topologyFile = demoSource() / "topology.json";
    if (!topology.is_null()) {
        topologyFile = work_ / "topology.json";
        std::ofstream(topologyFile) << topology.dump(2);
    }
    emulator_ = std::make_unique<EmulatorProcess>(DM_EMULATOR, topologyFile.string(),
                                                  work_.string(), emulatorArgs);
    for (const std::string& alias : kDemoAccounts) {
        fs::create_directories(work_ / "output" / alias);
        for (const auto& f : fs::directory_iterator(demoSource() / "terraform" / alias))
            fs::copy_file(f.path(), work_ / "output" / alias / f.path().filename());
        fs::copy(demoSource() / "terraform" / "modules", work_ / "output" / alias / "modules",
                 fs::copy_options::recursive);
    }
    writeYaml(slurp(demoSource() / "discovery.yaml.in"));
    initial_ = emulator_->state();
}

DemoWorkspace::~DemoWorkspace() {
    emulator_.reset();
    if (!keep_)
        fs::remove_all(work_);
}

void DemoWorkspace::writeYaml(std::string text) {
    auto put = [&](const std::string& key, const std::string& value) {
        text = std::regex_replace(text, std::regex(key), value);
    };
    put("@WORK@", work_.string());
    put("@BASE_URL@", emulator_->baseUrl());
    put("@CA_FILE@", emulator_->caFile());
    put("@CONTROLLER@", emulator_->controllerAddress());
    std::ofstream(work_ / "discovery.yaml") << text;
}

std::vector<std::string> DemoWorkspace::toolArgs(const std::vector<std::string>& extra) const {
    std::vector<std::string> args = {"--yaml_file", (work_ / "discovery.yaml").string()};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

namespace {
const std::map<std::string, std::string> kSecrets = {
    {"DM_CTRL_PASSWORD", "demo-controller-password"},
    {"DM_AZURE_CLIENT_SECRET", "demo-azure-secret"}};
}

ProcessResult DemoWorkspace::tool(const std::vector<std::string>& extra) const {
    return runProcess(DM_PROGRAM, toolArgs(extra), kSecrets, work_.string());
}

KilledRun DemoWorkspace::toolKilledAfter(std::chrono::microseconds delay,
                                         const std::vector<std::string>& extra) const {
    return runProcessKilledAfter(DM_PROGRAM, toolArgs(extra), delay, kSecrets, work_.string());
}

fs::path DemoWorkspace::revertJson(const std::string& alias) const {
    return work_ / "output" / alias / "tmp" / "revert.json";
}

}  // namespace dm::test

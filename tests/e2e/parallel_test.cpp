// VNets switched and reverted several at a time (--parallel) leave what a run of one VNet after
// another leaves: the same console and log (timestamps aside), revert records, Terraform files
// and cloud state. The VNets share a hub, two switched VNets are peered with each other, and the
// emulator refuses a write on a VNet or hub while another one runs there (409).
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "demo_fixture.hpp"

namespace dm::test {
namespace {

namespace fs = std::filesystem;

// The demo topology, with spoke-app and spoke-web (both switched) peered with each other.
Json pairedTopology() {
    Json topology = Json::parse(slurp(demoSource() / "topology.json"));
    Json& subscription = topology["subscriptions"][0];
    Json& vnets = subscription["resourceGroups"][0]["virtualNetworks"];
    const std::string base = "/subscriptions/" + subscription["id"].get<std::string>() +
                             "/resourceGroups/rg-spokes/providers/Microsoft.Network/"
                             "virtualNetworks/";
    auto peer = [&](Json& vnet, const std::string& other) {
        vnet["virtualNetworkPeerings"].push_back(
            {{"name", vnet["name"].get<std::string>() + "-to-" + other},
             {"remoteVirtualNetwork", base + other},
             {"allowForwardedTraffic", true}});
    };
    peer(vnets[0], "spoke-web");
    peer(vnets[1], "spoke-app");
    // Two subnets of one VNet on one route table.
    vnets[0]["subnets"][1]["routeTable"] = "rt-app";
    return topology;
}

// What a run leaves, as text that does not depend on the work folder, the process, the emulator's
// port or the time of day.
std::map<std::string, std::string> outcome(DemoWorkspace& demo, const ProcessResult& run) {
    const std::string work = demo.work().string();
    auto plain = [&](std::string text) {
        for (size_t at; (at = text.find(work)) != std::string::npos;)
            text.replace(at, work.size(), "<work>");
        text = std::regex_replace(
            text, std::regex(R"(\d{4}-\d\d-\d\d[ T]\d\d:\d\d:\d\d(\.\d+)?Z?)"), "<time>");
        text = std::regex_replace(text, std::regex(R"(\(\d+ ms\))"), "(<ms>)");
        text = std::regex_replace(text, std::regex(R"(pid \d+)"), "pid <pid>");
        text = std::regex_replace(text, std::regex(R"(127\.0\.0\.1:\d+)"), "<emulator>");
        return std::regex_replace(text, std::regex(" --parallel \\d+"), "");
    };
    // Whether a write meets another one, how often an operation is polled and how long a retry
    // waits depend on timing, not on the order of the VNets: retries and the log's debug lines
    // (requests and polls) are left out.
    auto withoutRetries = [](const std::string& text) {
        return std::regex_replace(text, std::regex("[^\n]*(Retrying | debug )[^\n]*\n"), "");
    };
    std::map<std::string, std::string> out{{"console", plain(withoutRetries(run.out))}};
    for (const char* folder : {"output", "logs"}) {
        for (const auto& f : fs::recursive_directory_iterator(demo.work() / folder)) {
            if (f.is_regular_file()) {
                out["file " + fs::relative(f.path(), demo.work()).string()] =
                    plain(withoutRetries(slurp(f.path())));
            }
        }
    }
    for (const auto& [key, value] : facts(demo.emulator().state()))
        out["fact " + key] = value;
    return out;
}

TEST(ParallelVnets, SwitchAndRevertLeaveWhatOneVnetAfterAnotherLeaves) {
    const Json topology = pairedTopology();
    // The realistic clock (scaled down) ends operations by time, as Azure does, not by polls.
    const std::vector<std::string> emulatorArgs = {
        "--conflicts", "409", "--profile", "realistic", "--time-scale", "0.002", "--seed", "7"};
    DemoWorkspace sequential(emulatorArgs, topology);
    DemoWorkspace parallel(emulatorArgs, topology);
    for (const std::vector<std::string>& mode :
         {std::vector<std::string>{"--dry_run"}, {}, {"--revert"}}) {
        std::vector<std::string> four = mode;
        four.insert(four.end(), {"--parallel", "4"});
        const ProcessResult one = sequential.tool(mode);
        const ProcessResult many = parallel.tool(four);
        ASSERT_EQ(one.exitCode, 0) << one.out << one.err;
        ASSERT_EQ(many.exitCode, 0) << many.out << many.err;
        const auto expected = outcome(sequential, one);
        const auto got = outcome(parallel, many);
        for (const auto& [key, text] : expected)
            EXPECT_EQ(got.count(key) ? got.at(key) : "<missing>", text) << key;
        for (const auto& [key, text] : got)
            EXPECT_TRUE(expected.count(key)) << key << " only after the parallel run";
    }
    // Removed locks are not put back.
    EXPECT_EQ(facts(parallel.emulator().state(), false), facts(parallel.initial(), false));
}

TEST(ParallelVnets, AFailedVnetWritesItsBlockInItsPlaceAndTheRevertUndoesEverything) {
    DemoWorkspace demo({}, pairedTopology());
    // spoke-web's attachment fails; spoke-db, tied to neither spoke-app nor spoke-web, runs
    // beside it and is committed after it.
    demo.emulator().admin("POST", "/admin/faults",
                          {{"action", "attach_spoke_to_transit_gateway"},
                           {"fields", {{"spoke_gw_name", "azu-use-0a0bfa00-gw"}}},
                           {"status", 200},
                           {"message", "attachment quota reached"}});
    ProcessResult r = demo.tool({"--parallel", "4"});
    ASSERT_EQ(r.exitCode, 1) << r.out;
    const size_t web = r.out.find("- Attach azu-use-0a0bfa00-gw");
    const size_t error = r.out.find("**Error** attachment quota reached");
    const size_t db = r.out.find("- Attach spoke-db-gw");
    EXPECT_LT(web, error) << r.out;
    EXPECT_LT(error, db) << r.out;
    EXPECT_NE(db, std::string::npos) << r.out;
    EXPECT_NE(r.out.find("2 VNet(s) switched, 0 skipped, 1 failed (spoke-web)"), std::string::npos)
        << r.out;
    r = demo.tool({"--revert", "--parallel", "4"});
    EXPECT_EQ(r.exitCode, 0) << r.out;
    EXPECT_EQ(facts(demo.emulator().state(), false), facts(demo.initial(), false));
}

}  // namespace
}  // namespace dm::test

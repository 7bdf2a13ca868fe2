// The undo guarantee off the happy path, on the demo: a second run of an account, a revert that
// stops and is run again, a switch that stops part-way, updates that fail after they were
// started, two VNets of one name, and a revert record of the wrong shape.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <fstream>

#include "demo_fixture.hpp"

namespace fs = std::filesystem;
using dm::test::DemoRun;
using dm::test::facts;
using dm::test::Json;
using dm::test::slurp;

namespace {

const std::string kSpokes = "00000000-0000-0000-0000-0000000000a1";

class UndoTest : public DemoRun {
  protected:
    void fault(const Json& rule) { emulator_->admin("POST", "/admin/faults", rule); }
    // Changes the cloud before any run; it becomes the state a revert must come back to.
    void changeTopology(const std::function<void(Json&)>& change) {
        Json state = emulator_->state();
        change(state);
        emulator_->admin("POST", "/admin/topology", state);
        initial_ = emulator_->state();
    }
    void expectInitialState() {
        EXPECT_EQ(facts(emulator_->state(), false), facts(initial_, false));
        for (const auto& alias : dm::test::kDemoAccounts)
            EXPECT_FALSE(fs::exists(revertJson(alias))) << alias;
    }
};

TEST_F(UndoTest, ASecondRunOfAnAccountIsRefusedAndTheNextAccountGoesOn) {
    const fs::path lockFile = work_ / "output" / "spokes-east" / "tmp" / "account.lock";
    fs::create_directories(lockFile.parent_path());
    const int fd = ::open(lockFile.c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    const std::string holder = "pid 99 on host other-box since 2026-12-09T08:00:00Z";
    ASSERT_EQ(::write(fd, holder.data(), holder.size()), static_cast<ssize_t>(holder.size()));

    auto r = tool();
    EXPECT_EQ(r.exitCode, 2) << r.out;
    EXPECT_NE(r.out.find("**Error** Account " + kSpokes + " is in use by another run (" + holder +
                         "); skipped."),
              std::string::npos)
        << r.out;
    EXPECT_FALSE(fs::exists(revertJson("spokes-east")));
    EXPECT_TRUE(fs::exists(revertJson("hub-central")));
    // A dry run neither waits for the lock nor is refused.
    EXPECT_EQ(tool({"--dry_run"}).exitCode, 0);

    ::close(fd);
    r = tool({"--revert"});
    EXPECT_EQ(r.exitCode, 0) << r.out;
    expectInitialState();
}

TEST_F(UndoTest, ARevertStoppedByAFailureFinishesWhenRunAgain) {
    ASSERT_EQ(tool().exitCode, 0);
    fault({{"kind", "lro_failed"},
           {"method", "PUT"},
           {"path", "spoke-web/subnets/web"},
           {"code", "SubnetBusy"},
           {"message", "busy"}});
    auto r = tool({"--revert"});
    EXPECT_EQ(r.exitCode, 1) << r.out;
    EXPECT_TRUE(fs::exists(revertJson("spokes-east")));
    r = tool({"--revert"});
    EXPECT_EQ(r.exitCode, 0) << r.out;
    EXPECT_NE(r.out.find("- spoke-app was reverted by an earlier run -- skipped"),
              std::string::npos)
        << r.out;
    expectInitialState();
}

TEST_F(UndoTest, ARevertAfterASwitchStoppedPartWayTouchesOnlyWhatItChanged) {
    // spoke-db is never reached; its gateway advertises a CIDR a revert must leave alone.
    changeTopology([](Json& state) {
        for (auto& gw : state["controller"]["gateways"]) {
            if (gw["gw_name"] == "spoke-db-gw")
                gw["advertised_cidrs"] = Json::array({"10.12.0.0/16"});
        }
    });
    fault({{"action", "attach_spoke_to_transit_gateway"},
           {"after", 1},
           {"count", 1},
           {"status", 200},
           {"message", "attachment quota reached"}});
    auto r = tool();
    ASSERT_EQ(r.exitCode, 1) << r.out;
    // The cause comes before the summary, and the summary counts it.
    EXPECT_LT(r.out.find("**Error** attachment quota reached"), r.out.find("Summary:")) << r.out;
    EXPECT_NE(r.out.find("1 failed (spoke-web); 2 error line(s)"), std::string::npos) << r.out;

    r = tool({"--revert"});
    EXPECT_EQ(r.exitCode, 0) << r.out;
    EXPECT_NE(r.out.find("- spoke-db was not changed by the switch, which stopped before it"),
              std::string::npos)
        << r.out;
    expectInitialState();
}

TEST_F(UndoTest, StartedUpdatesThatFailAreErrorsNamingTheTable) {
    const struct {
        Json rule;
        std::string line;
    } cases[] = {
        {{{"kind", "lro_failed"}, {"code", "RouteTableBusy"}, {"message", "busy"}},
         "**Error** propagate-gateway-route update of rt-web-staged did not complete -"},
        {{{"status", 403}, {"code", "AuthorizationFailed"}, {"message", "no"}},
         "**Error** Failed to update propagate-gateway-route in rt-web-staged -"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        Json rule = c.rule;
        rule["method"] = "PUT";
        rule["path"] = "routeTables/rt-web-staged$";
        fault(rule);
        auto r = tool();
        EXPECT_EQ(r.exitCode, 2) << r.out;
        EXPECT_NE(r.out.find(c.line), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("rt-web-staged not found"), std::string::npos) << r.out;
        r = tool({"--revert"});
        EXPECT_EQ(r.exitCode, 0) << r.out;
        expectInitialState();
        emulator_->admin("DELETE", "/admin/faults");
    }
}

TEST_F(UndoTest, TwoVnetsOfOneNameInTwoResourceGroupsRevertCleanly) {
    changeTopology([](Json& state) {
        for (auto& sub : state["subscriptions"]) {
            if (sub["id"] != kSpokes)
                continue;
            Json copy = {{"name", "rg-spokes-2"}, {"location", "eastus"}};
            for (const auto& rg : sub["resourceGroups"]) {
                if (rg["name"] != "rg-spokes")
                    continue;
                for (const auto& vnet : rg["virtualNetworks"])
                    if (vnet["name"] == "spoke-db")
                        copy["virtualNetworks"] = Json::array({vnet});
                copy["routeTables"] = Json::array();
                for (const auto& rt : rg["routeTables"])
                    if (rt["name"].get<std::string>().find("db") != std::string::npos)
                        copy["routeTables"].push_back(rt);
            }
            std::string text = copy.dump();
            for (size_t at; (at = text.find("/rg-spokes/")) != std::string::npos;)
                text.replace(at, 11, "/rg-spokes-2/");
            sub["resourceGroups"].push_back(Json::parse(text));
        }
    });
    auto r = tool();
    // The second spoke-db finds spoke-db.tf already marked by the first and is refused.
    EXPECT_EQ(r.exitCode, 2) << r.out;
    EXPECT_NE(r.out.find("already set to true in spoke-db.tf"), std::string::npos) << r.out;
    r = tool({"--revert"});
    EXPECT_EQ(r.exitCode, 0) << r.out;
    expectInitialState();
}

TEST_F(UndoTest, ARevertRecordOfTheWrongShapeIsRefusedBeforeAnyChange) {
    ASSERT_EQ(tool().exitCode, 0);
    const std::string wrong =
        R"({"vnetid-tf-size": {}, "gw_adv_cidr": {}, "peering_prop": {}, "peerings": [],)"
        R"( "vhc_list": {}})";
    std::ofstream(revertJson("spokes-east")) << wrong;
    emulator_->clearWriteLog();
    auto r = tool({"--revert"});
    EXPECT_EQ(r.exitCode, 1) << r.out;
    EXPECT_NE(r.out.find(revertJson("spokes-east").string() + ": peerings: expected a map"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(slurp(revertJson("spokes-east")), wrong);
    EXPECT_TRUE(emulator_->writeLog().empty()) << emulator_->writeLog().dump(1);
}

}  // namespace

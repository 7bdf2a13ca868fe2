// SubnetGroups against the controller half of the in-process emulator.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "emulator/emulator.hpp"
#include "services/context/globals.hpp"
#include "services/subnet_groups/subnet_groups.hpp"
#include "services/telvane/telvane.hpp"
#include "support/log_capture.hpp"
#include "support/scoped_run.hpp"

namespace dm::testing {
namespace {

using Lines = std::vector<std::string>;

class SubnetGroupsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        emu::EmulatorOptions options;
        options.topology = emu::Json::parse(R"({"controller": {
          "users": [{"username": "operator", "password": "pw"}],
          "gateways": [{"gw_name": "transit-1", "gw_type": "transit", "vpc_id": "tv:rg"},
                       {"gw_name": "spoke-gw", "vpc_id": "spoke-a:rg-spoke"}]}})");
        emulator_ = std::make_unique<emu::Emulator>(options);
        emulator_->start();
        Telvane::configure({.caBundle = emulator_->caFile(), .transport = nullptr});
        cid_ = Telvane::getCid(emulator_->controllerAddress(), "operator", "pw");
        log_ = std::make_unique<LogCapture>(Lines{SubnetGroups::LOGGER});
    }
    void TearDown() override { log_.reset(); }

    testing::ScopedRun run_;

    void configure(const std::string& gw = "spoke-gw") {
        SubnetGroups::configure(vnet_, options_, gw, "transit-1", apiBase(), cid_);
    }
    void revert() {
        SubnetGroups::revert(vnet_, options_, "spoke-gw", "transit-1", apiBase(), cid_);
    }
    std::string apiBase() const { return "https://" + emulator_->controllerAddress() + "/v1/"; }
    std::string groups() const {
        return Telvane::list_spoke_subnet_groups(apiBase() + "api", cid_, "spoke-gw").dump();
    }
    Lines takeLines() {
        Lines out = log_->lines();
        log_.reset();
        log_ = std::make_unique<LogCapture>(Lines{SubnetGroups::LOGGER});
        return out;
    }
    // The controller writes since the last call, as "<action> <fields>".
    Lines takeWrites() {
        Lines out;
        for (const auto& e : emulator_->writeLog())
            out.push_back(e["action"].get<std::string>() + " " + e["fields"].dump());
        emulator_->clearWriteLog();
        return out;
    }

    std::unique_ptr<emu::Emulator> emulator_;
    std::unique_ptr<LogCapture> log_;
    std::string cid_;
    azure::VirtualNetwork vnet_{Record::parse(R"({"name": "spoke-a",
        "properties": {"subnets": [{"name": "app"}, {"name": "GatewaySubnet"}, {"name": "db"},
                                   {"name": "spoke-a-tlvx-spoke-gw-subnet"}]}})")};
    Record options_ = {{"configure_subnet_groups", true},
                       {"subnet_in_subnet_groups", Record::array()}};
};

TEST_F(SubnetGroupsTest, DefaultGroupIsAddedOnceAndRevertedOnce) {
    configure();
    EXPECT_EQ(takeLines(), (Lines{"info: - Configure subnet groups on spoke-gw",
                                  "info:   add subnet group spoke-a with app,db"}));
    EXPECT_EQ(takeWrites(),
              Lines{R"(add_spoke_subnet_group {"group_name":"spoke-a","gw_name":"spoke-gw",)"
                    R"("subnet_list":"app,db"})"});
    configure();  // a second run finds the group in place
    EXPECT_EQ(takeLines()[1], "info:   subnet group spoke-a already holds app,db -- skipped");
    EXPECT_TRUE(takeWrites().empty());

    revert();
    revert();
    EXPECT_EQ(
        takeLines(),
        (Lines{"info: - Revert subnet groups on spoke-gw", "info:   delete subnet group spoke-a",
               "info: - Revert subnet groups on spoke-gw",
               "info:   subnet group spoke-a not found on spoke-gw -- skipped"}));
    EXPECT_EQ(takeWrites().size(), 1u);
    EXPECT_EQ(groups(), "[]");

    // Listed subnets narrow the default group.
    options_["subnet_in_subnet_groups"] = {"db"};
    configure();
    EXPECT_EQ(groups(), R"([{"group_name":"spoke-a","subnets":["db"]}])");
}

TEST_F(SubnetGroupsTest, NamedGroupsGoInOrderAndOneFailureStopsOnlyItself) {
    Telvane::add_spoke_subnet_group(apiBase() + "api", cid_, "spoke-gw", "web", "db");
    options_["subnet_groups"] = {
        {"web", {"app", "nope"}}, {"data", {"db"}}, {"clash", {"db"}}, {"empty", nullptr}};
    configure();
    options_["subnet_groups"] = "app";
    configure();
    options_.erase("subnet_groups");
    configure("unknown-gw");
    EXPECT_EQ(
        takeLines(),
        (Lines{"info: - Configure subnet groups on spoke-gw",
               "warning:   **Alert** subnet nope of subnet group web not found in spoke-a "
               "-- skipped",
               "info:   update subnet group web with app", "info:   add subnet group data with db",
               "info:   add subnet group clash with db",
               "error:   **Error** Failed to configure subnet group clash on spoke-gw -subnet "
               "db is already in subnet group data",
               "info:   subnet group empty has no subnet -- skipped",
               "info: - Configure subnet groups on spoke-gw",
               "error:   **Error** Option subnet_groups must map each group name to a list "
               "of subnet names, not \"app\"",
               "info: - Configure subnet groups on unknown-gw",
               "error:   **Error** Failed to list subnet groups of unknown-gw -gateway "
               "unknown-gw not found"}));
    // web lets go of db before data takes it.
    EXPECT_EQ(groups(), R"([{"group_name":"web","subnets":["app"]},)"
                        R"({"group_name":"data","subnets":["db"]}])");
}

TEST_F(SubnetGroupsTest, OffSendsNothingAndDryRunOnlyReads) {
    options_["configure_subnet_groups"] = false;
    emulator_->resetCounters();
    configure();
    revert();
    EXPECT_TRUE(takeLines().empty());
    EXPECT_EQ(emulator_->counters()["controller"], 0);

    options_["configure_subnet_groups"] = true;
    run_.run.dryRun.activate();
    configure();
    EXPECT_EQ(takeLines()[1], "info:   add subnet group spoke-a with app,db");
    EXPECT_TRUE(takeWrites().empty());
    EXPECT_EQ(groups(), "[]");

    run_.run.dryRun.deactivate();
    Telvane::add_spoke_subnet_group(apiBase() + "api", cid_, "spoke-gw", "spoke-a", "app");
    run_.run.dryRun.activate();
    takeWrites();
    revert();
    EXPECT_EQ(takeLines()[1], "info:   delete subnet group spoke-a");
    EXPECT_TRUE(takeWrites().empty());
    EXPECT_EQ(groups(), R"([{"group_name":"spoke-a","subnets":["app"]}])");
}

}  // namespace
}  // namespace dm::testing

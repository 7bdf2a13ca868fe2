// Telvane over HTTPS against the in-process emulator, TLS verified against the emulator's CA.
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>

#include "emulator.hpp"
#include "platform/http/dry_run_guard.hpp"
#include "services/telvane/telvane.hpp"
#include "support/scoped_run.hpp"

namespace {

using dm::Telvane;

template <typename F>
std::string failureOf(F&& call) {
    try {
        call();
    } catch (const dm::Error& e) {
        return e.what();
    }
    return "no failure";
}

class TelvaneOverHttps : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        dm::emu::EmulatorOptions options;
        options.topology = dm::emu::Json::parse(R"({"controller": {
          "users": [{"username": "operator", "password": "s3cret-pw"}],
          "gateways": [
            {"gw_name": "transit-1", "gw_type": "transit", "vpc_id": "tv1:rg"},
            {"gw_name": "transit-2", "gw_type": "transit", "vpc_id": "tv2:rg"},
            {"gw_name": "spoke-1", "vpc_id": "sv1:rg", "vpc_cidrs": ["10.10.0.0/16"]}],
          "transit_peerings": [{"transit_gw_name1": "transit-1", "transit_gw_name2": "transit-2"}]
        }})");
        emulator = std::make_unique<dm::emu::Emulator>(options);
        emulator->start();
    }
    static void TearDownTestSuite() { emulator.reset(); }
    void SetUp() override {
        Telvane::configure({.caBundle = emulator->caFile(), .transport = nullptr});
        cid = Telvane::getCid(emulator->controllerAddress(), "operator", "s3cret-pw");
        emulator->clearWriteLog();
    }
    dm::testing::ScopedRun run_;

    static inline std::unique_ptr<dm::emu::Emulator> emulator;
    std::string url = "https://" + emulator->controllerAddress() + "/v1/api";
    std::string cid;
};

TEST_F(TelvaneOverHttps, SwitchesASpokeOntoATransitAndChecksThePeer) {
    Telvane::attach_spoke_to_transit_gw(url, cid, "spoke-1", "transit-1", {}, "rt-1:rg-spoke");
    EXPECT_EQ(Telvane::list_attached_spoke(url, cid, "transit-1"),
              std::set<std::string>{"spoke-1"});
    EXPECT_EQ(
        failureOf([&] { Telvane::attach_spoke_to_transit_gw(url, cid, "spoke-1", "transit-1"); }),
        "spoke-1 is already attached to transit-1");

    Telvane::edit_gw_adv_cidr(url, cid, "spoke-1", "10.10.0.0/16,10.11.0.0/16");
    EXPECT_EQ(Telvane::get_spoke_gw_adv_cidr(url, cid)["spoke-1"].dump(),
              R"(["10.10.0.0/16","10.11.0.0/16"])");
    // The peer transit learns the spoke's CIDRs through the transit peering.
    EXPECT_NO_THROW(Telvane::check_transit_received_cidr(url, cid, "transit-2", "10.11.0.0/16"));
    EXPECT_EQ(failureOf([&] {
                  Telvane::check_transit_received_cidr(url, cid, "transit-2", "10.12.0.0/16");
              }),
              "transit-2 has not received 10.12.0.0/16");

    Telvane::detach_spoke_from_transit_gw(url, cid, "spoke-1", "transit-1");
    EXPECT_TRUE(Telvane::list_attached_spoke(url, cid, "transit-1").empty());
    const std::string log = emulator->writeLog().dump();
    EXPECT_NE(log.find("attach_spoke_to_transit_gateway"), std::string::npos) << log;
    EXPECT_NE(log.find("detach_spoke_from_transit_gateway"), std::string::npos) << log;
    EXPECT_EQ(log.find(cid), std::string::npos);
}

TEST_F(TelvaneOverHttps, RefusedLoginAndDryRunLeaveNoTrace) {
    EXPECT_EQ(
        failureOf([] { Telvane::getCid(emulator->controllerAddress(), "operator", "wrong-pw"); }),
        "invalid username or password");
    Telvane::setDryRun();
    EXPECT_THROW(Telvane::attach_spoke_to_transit_gw(url, cid, "spoke-1", "transit-2"),
                 dm::http::DryRunRefused);
    EXPECT_THROW(Telvane::edit_gw_adv_cidr(url, cid, "spoke-1", ""), dm::http::DryRunRefused);
    EXPECT_TRUE(Telvane::list_attached_spoke(url, cid, "transit-2").empty());
    EXPECT_TRUE(emulator->writeLog().empty()) << emulator->writeLog().dump();
}

}  // namespace

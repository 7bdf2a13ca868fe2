// The controller model answering API actions directly, without the HTTPS server.
#include <gtest/gtest.h>

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "controller/controller_model.hpp"

namespace {

using Json = dm::emu::ControllerModel::Json;
using Form = std::map<std::string, std::string>;

// Two transits peered with each other, a third on its own, two spokes, one attached.
Json topology() {
    return Json::parse(R"({
      "users": [{"username": "admin", "password": "pw-1"}],
      "accounts": [{"account_name": "acct", "arm_subscription_id": "sub-1",
                    "arm_ad_client_id": "app", "arm_ad_tenant_id": "tenant", "iam_based": false}],
      "gateways": [
        {"gw_name": "t1", "gw_type": "transit", "account_name": "acct", "vpc_id": "tv1:rg"},
        {"gw_name": "t2", "gw_type": "transit", "account_name": "acct", "vpc_id": "tv2:rg"},
        {"gw_name": "t3", "gw_type": "transit", "account_name": "other", "vpc_id": "tv3:rg"},
        {"gw_name": "s1", "account_name": "acct", "vpc_id": "sv1:rg:extra",
         "vpc_cidrs": ["10.1.0.0/16"], "custom": {"kept": true}},
        {"gw_name": "s2", "account_name": "acct", "vpc_id": "sv2:rg",
         "vpc_cidrs": ["10.2.0.0/16"], "advertised_cidrs": ["10.2.0.0/17"]}
      ],
      "attachments": [{"spoke_gw_name": "s2", "transit_gw_name": "t2"}],
      "transit_peerings": [{"transit_gw_name1": "t1", "transit_gw_name2": "t2"}],
      "security_domains": [{"domain_name": "prod"}, {"domain_name": "dev"}]
    })");
}

class ControllerModelTest : public ::testing::Test {
  protected:
    void SetUp() override {
        model = dm::emu::makeControllerModel([this](const Json& e) { writes.push_back(e); });
        model->load(topology());
        cid = call(
            {{"action", "login"}, {"username", "admin"}, {"password", "pw-1"}})["results"]["CID"];
    }

    Json call(const Form& form) {
        auto reply = model->handle(form);
        EXPECT_EQ(reply.status, 200);
        return Json::parse(reply.body);
    }
    // Runs an action with the login id and returns its results; fails the test on a refusal.
    Json ok(const std::string& action, Form form = {}) {
        form["action"] = action;
        form["CID"] = cid;
        Json reply = call(form);
        EXPECT_EQ(reply["return"], true) << action << ": " << reply.dump();
        return reply.value("results", Json());
    }
    // Runs an action that must be refused and returns the reason.
    std::string refused(const std::string& action, Form form = {}) {
        form["action"] = action;
        if (!form.contains("CID"))
            form["CID"] = cid;
        Json reply = call(form);
        EXPECT_EQ(reply["return"], false) << action;
        return reply.value("reason", "");
    }
    std::vector<std::string> received(const std::string& transit) {
        return ok("list_gateway_received_cidrs", {{"gw_name", transit}})
            .get<std::vector<std::string>>();
    }

    std::unique_ptr<dm::emu::ControllerModel> model;
    std::vector<Json> writes;
    std::string cid;
};

TEST_F(ControllerModelTest, LoginGuardsEveryOtherAction) {
    EXPECT_EQ(cid.size(), 32u);
    EXPECT_EQ(call({{"action", "login"}, {"username", "admin"}, {"password", "wrong"}})["reason"],
              "invalid username or password");
    EXPECT_EQ(refused("list_gateways", {{"CID", "forged"}}), "CID is invalid or expired");
    EXPECT_EQ(call({{"action", "list_gateways"}})["reason"], "CID is invalid or expired");
    EXPECT_EQ(call({{"CID", cid}})["reason"], "missing \"action\"");
    EXPECT_EQ(refused("reboot_controller"), "unknown action reboot_controller");
    EXPECT_TRUE(writes.empty()) << "logins and refusals are no writes";

    // A reload keeps the login of a user who is still listed, and drops it otherwise.
    model->load(topology());
    ok("list_gateways");
    model->load(Json::object());
    EXPECT_EQ(refused("list_gateways"), "CID is invalid or expired");
}

TEST_F(ControllerModelTest, ListingsCarryTheRecordsTheToolReads) {
    Json gateways = ok("list_gateways", {{"vpc_access_account_name", ""}});
    ASSERT_EQ(gateways.size(), 5u);
    EXPECT_EQ(gateways[3]["vpc_id"], "sv1:rg:extra");
    EXPECT_EQ(gateways[3]["custom"]["kept"], true);
    EXPECT_EQ(ok("list_gateways", {{"vpc_access_account_name", "other"}}).size(), 1u);

    Json accounts = ok("list_accounts", {{"iam_based", "false"}});
    EXPECT_EQ(accounts["account_list"][0]["arm_subscription_id"], "sub-1");
    EXPECT_EQ(refused("list_accounts", {{"iam_based", "maybe"}}),
              "iam_based must be true or false");

    EXPECT_EQ(ok("list_spoke_gateway_advertised_cidrs").dump(),
              R"([{"gw_name":"s1","advertised_cidrs":[]},)"
              R"({"gw_name":"s2","advertised_cidrs":["10.2.0.0/17"]}])");
}

TEST_F(ControllerModelTest, AttachAndDetachFollowTheAttachmentState) {
    ok("attach_spoke_to_transit_gateway", {{"spoke_gw_name", "s1"},
                                           {"transit_gw_name", "t1"},
                                           {"no_max_performance", "true"},
                                           {"route_table_list", "rt-a:rg, rt-b:rg"}});
    Json attached = ok("list_attached_spokes", {{"transit_gw_name", "t1"}});
    EXPECT_EQ(
        attached.dump(),
        R"([{"spoke_gw_name":"s1","transit_gw_name":"t1","route_tables":["rt-a:rg","rt-b:rg"],)"
        R"("max_performance":false}])");

    const Form s1t1 = {{"spoke_gw_name", "s1"}, {"transit_gw_name", "t1"}};
    EXPECT_EQ(refused("attach_spoke_to_transit_gateway", s1t1), "s1 is already attached to t1");
    EXPECT_EQ(refused("detach_spoke_from_transit_gateway",
                      {{"spoke_gw_name", "s1"}, {"transit_gw_name", "t3"}}),
              "s1 is not attached to t3");
    EXPECT_EQ(refused("attach_spoke_to_transit_gateway",
                      {{"spoke_gw_name", "s9"}, {"transit_gw_name", "t1"}}),
              "gateway s9 not found");
    EXPECT_EQ(refused("attach_spoke_to_transit_gateway",
                      {{"spoke_gw_name", "t2"}, {"transit_gw_name", "t1"}}),
              "t2 is not a spoke gateway");
    EXPECT_EQ(refused("attach_spoke_to_transit_gateway", {{"spoke_gw_name", "s2"}}),
              "missing parameter transit_gw_name");

    ok("detach_spoke_from_transit_gateway", s1t1);
    EXPECT_TRUE(ok("list_attached_spokes", {{"transit_gw_name", "t1"}}).empty());
    EXPECT_EQ(writes.size(), 2u) << "only the accepted attach and detach are writes";
}

TEST_F(ControllerModelTest, TransitsReceiveWhatSpokesOfThemOrTheirPeersAdvertise) {
    // s2 hangs off t2, which is peered with t1; t3 is peered with nobody.
    EXPECT_EQ(received("t2"), std::vector<std::string>{"10.2.0.0/17"});
    EXPECT_EQ(received("t1"), std::vector<std::string>{"10.2.0.0/17"});
    EXPECT_TRUE(received("t3").empty());

    // A spoke without a custom advertisement advertises its own VNet CIDRs.
    ok("attach_spoke_to_transit_gateway", {{"spoke_gw_name", "s1"}, {"transit_gw_name", "t1"}});
    EXPECT_EQ(received("t2"), (std::vector<std::string>{"10.2.0.0/17", "10.1.0.0/16"}));

    ok("edit_gateway_advertised_cidrs",
       {{"gw_name", "s1"}, {"cidrs", "10.1.0.0/17,10.1.128.0/17"}});
    EXPECT_EQ(received("t1"),
              (std::vector<std::string>{"10.2.0.0/17", "10.1.0.0/17", "10.1.128.0/17"}));
    EXPECT_EQ(
        refused("edit_gateway_advertised_cidrs", {{"gw_name", "s1"}, {"cidrs", "10.1.0.1/16"}}),
        "invalid CIDR 10.1.0.1/16");

    // Clearing the advertisement goes back to the VNet CIDRs; detaching stops it all.
    ok("edit_gateway_advertised_cidrs", {{"gw_name", "s2"}, {"cidrs", ""}});
    EXPECT_EQ(received("t1"),
              (std::vector<std::string>{"10.2.0.0/16", "10.1.0.0/17", "10.1.128.0/17"}));
    ok("detach_spoke_from_transit_gateway", {{"spoke_gw_name", "s2"}, {"transit_gw_name", "t2"}});
    EXPECT_EQ(received("t2"), (std::vector<std::string>{"10.1.0.0/17", "10.1.128.0/17"}));
    EXPECT_EQ(refused("list_gateway_received_cidrs", {{"gw_name", "s1"}}),
              "s1 is not a transit gateway");
}

TEST_F(ControllerModelTest, SecurityDomainsHoldAttachmentsUntilDisassociated) {
    auto domainForm = [](const std::string& domain, const std::string& attachment) {
        return Form{{"domain_name", domain}, {"attachment_name", attachment}};
    };
    const std::string associate = "associate_attachment_to_multi_cloud_security_domain";
    const std::string disassociate = "disassociate_attachment_from_multi_cloud_security_domain";

    EXPECT_EQ(refused(associate, domainForm("prod", "s1")), "attachment s1 not found");
    EXPECT_EQ(refused(associate, domainForm("staging", "s2")), "security domain staging not found");
    ok(associate, domainForm("prod", "s2"));
    EXPECT_EQ(refused(associate, domainForm("dev", "s2")),
              "attachment s2 is already associated with security domain prod");
    EXPECT_EQ(refused(disassociate, domainForm("dev", "s2")),
              "attachment s2 is not associated with security domain dev");

    const Form s2t2 = {{"spoke_gw_name", "s2"}, {"transit_gw_name", "t2"}};
    EXPECT_EQ(refused("detach_spoke_from_transit_gateway", s2t2),
              "attachment s2 is still associated with security domain prod");
    EXPECT_EQ(ok("list_multi_cloud_security_domains")[0]["attachments"].dump(), R"(["s2"])");

    ok(disassociate, domainForm("prod", "s2"));
    ok("detach_spoke_from_transit_gateway", s2t2);
    EXPECT_EQ(ok("list_multi_cloud_security_domains")[0]["attachments"].dump(), "[]");
}

TEST_F(ControllerModelTest, SubnetGroupsKeepEachSubnetInOneGroup) {
    auto group = [](const std::string& name, const std::string& subnets) {
        return Form{{"gw_name", "s1"}, {"group_name", name}, {"subnet_list", subnets}};
    };
    ok("add_spoke_subnet_group", group("app", "app-1,app-2"));
    ok("add_spoke_subnet_group", group("db", ""));
    EXPECT_EQ(refused("add_spoke_subnet_group", group("app", "")),
              "subnet group app already exists on s1");
    EXPECT_EQ(refused("update_spoke_subnet_group", group("db", "db-1,app-2")),
              "subnet app-2 is already in subnet group app");
    ok("update_spoke_subnet_group", group("app", "app-1"));
    ok("update_spoke_subnet_group", group("db", "db-1,app-2"));
    EXPECT_EQ(ok("list_spoke_subnet_groups", {{"gw_name", "s1"}}).dump(),
              R"([{"group_name":"app","subnets":["app-1"]},)"
              R"({"group_name":"db","subnets":["db-1","app-2"]}])");

    ok("delete_spoke_subnet_group", {{"gw_name", "s1"}, {"group_name", "app"}});
    EXPECT_EQ(refused("delete_spoke_subnet_group", {{"gw_name", "s1"}, {"group_name", "app"}}),
              "subnet group app not found on s1");
    EXPECT_EQ(refused("list_spoke_subnet_groups", {{"gw_name", "t1"}}),
              "t1 is not a spoke gateway");
}

TEST_F(ControllerModelTest, WritesNameTheActionAndFieldsButNoSecrets) {
    ok("edit_gateway_advertised_cidrs", {{"gw_name", "s1"}, {"cidrs", "10.1.0.0/16"}});
    ok("list_gateways");
    refused("edit_gateway_advertised_cidrs", {{"gw_name", "nope"}, {"cidrs", ""}});
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].dump(),
              R"({"service":"controller","action":"edit_gateway_advertised_cidrs",)"
              R"("fields":{"cidrs":"10.1.0.0/16","gw_name":"s1"}})");
    EXPECT_EQ(writes[0].dump().find(cid), std::string::npos);
}

TEST_F(ControllerModelTest, DumpLoadsBackUnchanged) {
    ok("attach_spoke_to_transit_gateway", {{"spoke_gw_name", "s1"}, {"transit_gw_name", "t1"}});
    ok("associate_attachment_to_multi_cloud_security_domain",
       {{"domain_name", "dev"}, {"attachment_name", "s1"}});
    ok("add_spoke_subnet_group", {{"gw_name", "s1"}, {"group_name", "app"}, {"subnet_list", "a"}});
    const Json first = model->dump();
    EXPECT_EQ(first["gateways"][0]["gw_type"], "transit");
    EXPECT_EQ(first["gateways"][3]["cloud_type"], 8);

    auto other = dm::emu::makeControllerModel(nullptr);
    other->load(first);
    EXPECT_EQ(other->dump(), first);
    EXPECT_EQ(first.dump().find(cid), std::string::npos) << "login ids are not state";
}

TEST_F(ControllerModelTest, OverridesAnswerInsteadOfTheModel) {
    model->addOverride(Json::parse(R"({"action": "list_gateway_received_cidrs",
        "fields": {"gw_name": "t1"}, "results": ["192.168.0.0/16"]})"));
    model->addOverride(Json::parse(R"({"action": "list_vpcs_summary", "results": [{"n": 1}]})"));
    model->addOverride(Json::parse(R"({"action": "edit_gateway_advertised_cidrs",
        "reason": "busy"})"));
    model->addOverride(Json::parse(R"({"action": "list_gateways", "status": 502,
        "body": "<html>bad gateway</html>"})"));

    EXPECT_EQ(received("t1"), std::vector<std::string>{"192.168.0.0/16"});
    EXPECT_EQ(received("t2"), std::vector<std::string>{"10.2.0.0/17"});  // fields differ
    EXPECT_EQ(ok("list_vpcs_summary")[0]["n"], 1);                       // any action name
    EXPECT_EQ(refused("list_vpcs_summary", {{"CID", "forged"}}), "CID is invalid or expired");
    EXPECT_EQ(refused("edit_gateway_advertised_cidrs", {{"gw_name", "s1"}, {"cidrs", ""}}), "busy");
    EXPECT_TRUE(writes.empty()) << "a fixed answer changes nothing";
    auto raw = model->handle({{"action", "list_gateways"}, {"CID", cid}});
    EXPECT_EQ(raw.status, 502);
    EXPECT_EQ(raw.body, "<html>bad gateway</html>");

    auto other = dm::emu::makeControllerModel(nullptr);
    other->load(model->dump());
    EXPECT_EQ(other->overrides(), model->overrides());
    EXPECT_EQ(other->overrides().size(), 4u);
    model->clearOverrides();
    EXPECT_EQ(received("t1"), std::vector<std::string>{"10.2.0.0/17"});
    EXPECT_FALSE(model->dump().contains("overrides"));
}

TEST(ControllerTopology, MalformedSectionsAreRefusedNamingTheEntry) {
    auto model = dm::emu::makeControllerModel(nullptr);
    auto loadError = [&](const char* text) -> std::string {
        try {
            model->load(Json::parse(text));
        } catch (const std::invalid_argument& e) {
            return e.what();
        }
        return "loaded";
    };
    EXPECT_EQ(loadError(R"({"gateways": [{"gw_name": "a"}, {"gw_type": "spoke"}]})"),
              R"(controller.gateways[1]: missing "gw_name")");
    EXPECT_EQ(loadError(R"({"gateways": [{"gw_name": "a"}],
                            "attachments": [{"spoke_gw_name": "a", "transit_gw_name": "b"}]})"),
              "controller.attachments[0]: unknown gateway b");
    EXPECT_EQ(loadError(R"({"gateways": [{"gw_name": "a"}, {"gw_name": "b"}],
                            "transit_peerings": [{"transit_gw_name1": "a", "transit_gw_name2": "b"}]})"),
              "controller.transit_peerings[0]: a is not a transit gateway");
    EXPECT_EQ(loadError(R"({"security_domains": [{"domain_name": "d", "attachments": ["x"]}]})"),
              "controller.security_domains[0]: unknown attachment x");
    EXPECT_EQ(loadError(R"({"overrides": [{"action": "a", "results": 1, "reason": "r"}]})"),
              R"(controller.overrides[0]: needs exactly one of "results", "reason" and "body")");
    EXPECT_EQ(loadError(R"({"overrides": [{"results": 1}]})"),
              R"(controller.overrides[0]: "action" must be a non-empty text)");
    EXPECT_EQ(loadError("null"), "loaded");
    EXPECT_EQ(model->dump()["gateways"], Json::array());
}

}  // namespace

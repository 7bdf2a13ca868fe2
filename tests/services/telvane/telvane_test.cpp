// Telvane against a recording fake transport: what goes on the wire and how replies are read.
#include <gtest/gtest.h>

#include <functional>

#include <deque>
#include <string>
#include <vector>

#include "platform/http/dry_run_guard.hpp"
#include "services/context/app_exit_status.hpp"
#include "services/telvane/telvane.hpp"
#include "support/log_capture.hpp"
#include "support/scoped_run.hpp"

namespace {

using dm::Record;
using dm::Telvane;

constexpr const char* kUrl = "https://ctrl.test/v1/api";

// Records every request and answers from a script (default: a plain success).
class RecordingTransport : public dm::http::Transport {
  public:
    dm::http::Response send(const dm::http::Request& request) override {
        requests.push_back(request);
        if (replies.empty())
            return {200, {}, R"({"return": true, "results": "done"})"};
        auto reply = replies.front();
        replies.pop_front();
        return reply;
    }
    void reply(std::string body, int status = 200) { replies.push_back({status, {}, body}); }
    std::vector<std::string> bodies() const {
        std::vector<std::string> out;
        for (const auto& r : requests)
            out.push_back(r.body);
        return out;
    }

    std::vector<dm::http::Request> requests;
    std::deque<dm::http::Response> replies;
};

// The text of the dm::Error that `call` throws, or "no failure".
template <typename F>
std::string failureOf(F&& call) {
    try {
        call();
    } catch (const dm::Error& e) {
        return e.what();
    }
    return "no failure";
}

class TelvaneTest : public ::testing::Test {
  protected:
    void SetUp() override { Telvane::configure({.caBundle = std::nullopt, .transport = fake}); }

    dm::testing::ScopedRun run_;

    std::shared_ptr<RecordingTransport> fake = std::make_shared<RecordingTransport>();
};

TEST_F(TelvaneTest, EveryOperationSendsItsActionAndParameters) {
    fake->reply(R"({"return": true, "results": {"CID": "c1"}})");
    EXPECT_EQ(Telvane::getCid("10.0.0.5:8443", "ad min", "p&ss=w rd+%/é"), "c1");
    Telvane::attach_spoke_to_transit_gw(kUrl, "c1", "s", "t", "true", "rt-1:rg,rt-2:rg");
    Telvane::attach_spoke_to_transit_gw(kUrl, "c1", "s", "t");
    Telvane::detach_spoke_from_transit_gw(kUrl, "c1", "s", "t");
    Telvane::edit_gw_adv_cidr(kUrl, "c1", "s", "");
    Telvane::list_gateway_info(kUrl, "c1");
    Telvane::list_accounts(kUrl, "c1");
    Telvane::add_spoke_subnet_group(kUrl, "c1", "s", "app", "a,b");
    Telvane::telvane_post(kUrl, {{"CID", "c1"},
                                 {"action", "associate_attachment_to_multi_cloud_security_domain"},
                                 {"domain_name", "prod"},
                                 {"retries", 3}});

    // Form encoding keeps reserved characters of the password intact.
    EXPECT_EQ(
        fake->bodies(),
        (std::vector<std::string>{
            "action=login&username=ad%20min&password=p%26ss%3Dw%20rd%2B%25%2F%C3%A9",
            "action=attach_spoke_to_transit_gateway&CID=c1&spoke_gw_name=s&transit_gw_name=t"
            "&no_max_performance=true&route_table_list=rt-1%3Arg%2Crt-2%3Arg",
            "action=attach_spoke_to_transit_gateway&CID=c1&spoke_gw_name=s&transit_gw_name=t",
            "action=detach_spoke_from_transit_gateway&CID=c1&spoke_gw_name=s&transit_gw_name=t",
            "action=edit_gateway_advertised_cidrs&CID=c1&gw_name=s&cidrs=",
            "action=list_gateways&CID=c1&vpc_access_account_name=",
            "action=list_accounts&CID=c1&iam_based=false",
            "action=add_spoke_subnet_group&CID=c1&gw_name=s&group_name=app&subnet_list=a%2Cb",
            "action=associate_attachment_to_multi_cloud_security_domain&CID=c1"
            "&domain_name=prod&retries=3"}));
    EXPECT_EQ(fake->requests[0].url, "https://10.0.0.5:8443/v1/api");
    EXPECT_EQ(fake->requests[1].url, kUrl);
    EXPECT_EQ(fake->requests[1].method, "POST");
    EXPECT_EQ(
        fake->requests[1].headers[0],
        (std::pair<std::string, std::string>{"Content-Type", "application/x-www-form-urlencoded"}));
    EXPECT_EQ(failureOf([] {
                  Telvane::telvane_post(kUrl, {{"CID", "x"}});
              }),
              "controller payload has no \"action\"");
}

TEST_F(TelvaneTest, ListingResultsBecomeMapsSetsAndChecks) {
    fake->reply(R"({"return": true, "results": [
        {"gw_name": "s1", "advertised_cidrs": ["10.1.0.0/16", "10.2.0.0/16"]},
        {"gw_name": "s2", "advertised_cidrs": []}]})");
    EXPECT_EQ(Telvane::get_spoke_gw_adv_cidr(kUrl, "c").dump(),
              R"({"s1":["10.1.0.0/16","10.2.0.0/16"],"s2":[]})");

    fake->reply(
        R"({"return": true, "results": [{"spoke_gw_name": "s2"}, {"spoke_gw_name": "s1"}]})");
    EXPECT_EQ(Telvane::list_attached_spoke(kUrl, "c", "t"), (std::set<std::string>{"s1", "s2"}));
    fake->reply(R"({"return": true, "results": {"not": "a list"}})");
    EXPECT_EQ(failureOf([] { Telvane::list_attached_spoke(kUrl, "c", "t"); }),
              "unexpected controller reply to list_attached_spokes: \"results\" is not a list");
    // Entries carry more than the name, which is all that is read; one without it is refused.
    fake->reply(R"({"return": true, "results": [
        {"transit_gw_name": "t", "spoke_gw_name": "s3", "max_performance": true}]})");
    EXPECT_EQ(Telvane::list_attached_spoke(kUrl, "c", "t"), (std::set<std::string>{"s3"}));
    fake->reply(R"({"return": true, "results": [{"transit_gw_name": "t"}]})");
    EXPECT_EQ(failureOf([] { Telvane::list_attached_spoke(kUrl, "c", "t"); }),
              "unexpected controller reply to list_attached_spokes: an entry without "
              "\"spoke_gw_name\"");

    // Received CIDRs are compared as networks, not as texts.
    const char* received = R"({"return": true, "results": ["10.1.0.0/16", "fd00:0::/8"]})";
    fake->reply(received);
    EXPECT_NO_THROW(Telvane::check_transit_received_cidr(kUrl, "c", "t2", "fd00::/8"));
    fake->reply(received);
    EXPECT_EQ(
        failureOf([] { Telvane::check_transit_received_cidr(kUrl, "c", "t2", "10.9.0.0/16"); }),
        "t2 has not received 10.9.0.0/16");
    EXPECT_EQ(fake->requests.back().body, "action=list_gateway_received_cidrs&CID=c&gw_name=t2");
    // Spaces around a network do not matter; a text that is no network matches only as written.
    const char* odd = R"({"return": true, "results": [" 10.1.0.0/16 ", "any", 7]})";
    fake->reply(odd);
    EXPECT_NO_THROW(Telvane::check_transit_received_cidr(kUrl, "c", "t2", "10.1.0.0/16"));
    fake->reply(odd);
    EXPECT_NO_THROW(Telvane::check_transit_received_cidr(kUrl, "c", "t2", "any"));
    fake->reply(odd);
    EXPECT_EQ(failureOf([] { Telvane::check_transit_received_cidr(kUrl, "c", "t2", "7"); }),
              "t2 has not received 7");
}

TEST_F(TelvaneTest, FailuresCarryTheControllerReasonOrTheHttpFacts) {
    auto edit = [] { Telvane::edit_gw_adv_cidr(kUrl, "secret-cid", "gw", "10.0.0.0/8"); };
    const std::string http = "controller answered HTTP ";

    fake->reply(R"({"return": false, "reason": "gateway gw not found"})");
    EXPECT_EQ(failureOf(edit), "gateway gw not found");
    fake->reply(R"({"return": false, "reason": "CID secret-cid is invalid"})");
    EXPECT_EQ(failureOf(edit), "CID *** is invalid");
    fake->reply("upstream failed for secret-cid\nat line 2", 500);
    EXPECT_EQ(failureOf(edit),
              http + "500 to edit_gateway_advertised_cidrs: upstream failed for *** at line 2");
    fake->reply(std::string(500, 'x'), 502);
    EXPECT_EQ(failureOf(edit),
              http + "502 to edit_gateway_advertised_cidrs: " + std::string(200, 'x') + "...");
    fake->reply("<html>maintenance</html>");
    EXPECT_EQ(failureOf(edit),
              "controller reply to edit_gateway_advertised_cidrs is not JSON (HTTP 200): "
              "<html>maintenance</html>");
    fake->reply(R"({"results": []})");
    EXPECT_EQ(failureOf(edit),
              "controller reply to edit_gateway_advertised_cidrs has no \"return\" flag");
    fake->reply(R"({"return": true, "results": {}})");
    EXPECT_EQ(failureOf([] { Telvane::getCid("c", "u", "p"); }),
              "unexpected controller reply to login: no login id");

    // The listings leave "return" to their caller but still fail on HTTP errors.
    fake->reply(R"({"return": false, "reason": "not allowed"})");
    EXPECT_EQ(Telvane::list_gateway_info(kUrl, "c").json()["return"], false);
    fake->reply("not json");
    EXPECT_EQ(failureOf([] { Telvane::list_accounts(kUrl, "c").json(); }),
              "controller reply is not JSON (HTTP 200)");
    fake->reply("busy", 503);
    EXPECT_EQ(failureOf([] { Telvane::list_gateway_info(kUrl, "c"); }),
              http + "503 to list_gateways: busy");
}

TEST_F(TelvaneTest, DryRunSendsReadsAndRefusesChanges) {
    Telvane::setDryRun();
    const std::vector<std::function<void()>> changes = {
        [] { Telvane::attach_spoke_to_transit_gw(kUrl, "c", "s", "t"); },
        [] { Telvane::edit_gw_adv_cidr(kUrl, "c", "s", "10.0.0.0/8"); },
        [] {
            Telvane::telvane_post(
                kUrl, {{"action", "disassociate_attachment_from_multi_cloud_security_domain"},
                       {"CID", "c"}});
        },
        [] { Telvane::delete_spoke_subnet_group(kUrl, "c", "s", "app"); },
    };
    for (const auto& change : changes)
        EXPECT_THROW(change(), dm::http::DryRunRefused);
    EXPECT_TRUE(fake->requests.empty());
    EXPECT_EQ(dm::AppExitStatus().getStatus(), 1);

    fake->reply(R"({"return": true, "results": []})");
    Telvane::list_attached_spoke(kUrl, "c", "t");
    Telvane::telvane_post(kUrl, {{"action", "list_multi_cloud_security_domains"}, {"CID", "c"}});
    EXPECT_EQ(fake->requests.size(), 2u);
}

TEST_F(TelvaneTest, NeitherPasswordNorLoginIdReachesALogLine) {
    dm::testing::LogCapture log({"dm.arm.telvane", "dm.http"});
    fake->reply(R"({"return": true, "results": {"CID": "cid-7f3a9"}})");
    const std::string cid = Telvane::getCid("ctrl", "admin", "hunter2-pw");
    Telvane::edit_gw_adv_cidr(kUrl, cid, "gw", "10.0.0.0/8");
    fake->reply(R"({"return": false, "reason": "no"})");
    EXPECT_THROW(Telvane::detach_spoke_from_transit_gw(kUrl, cid, "gw", "t"), dm::TelvaneError);

    EXPECT_TRUE(log.contains("debug: controller action login")) << log.text();
    EXPECT_FALSE(log.contains("hunter2-pw"));
    EXPECT_FALSE(log.contains("cid-7f3a9"));
}

TEST_F(TelvaneTest, SecretsEchoedInAnyEncodingAreMasked) {
    // An error page that echoes the login form: raw, form-encoded ("%2B", "+" for a blank, lower-
    // case hex) and JSON-escaped.
    const std::string password = "p w+&\"q";
    fake->reply(std::string("username=admin&password=p+w%2B%26%22q ") + "p%20w%2b%26%22q " +
                    "\"p w+&\\\"q\" p w+&\"q",
                500);
    const std::string failure = failureOf([&] { Telvane::getCid("ctrl", "admin", password); });
    EXPECT_EQ(failure,
              "controller answered HTTP 500 to login: username=admin&password=*** *** \"***\" ***");
}

}  // namespace

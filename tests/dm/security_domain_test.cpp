// Security-domain association of the spoke attachment, against the emulator's controller.
#include "library_fixture.hpp"

#include "services/telvane/telvane.hpp"

namespace {

using dm::Globals;
using dm::Record;
using dm::Telvane;
using dm::arm::SwitchTraffic;
using dm::emu::Json;

class SecurityDomainTest : public dm::testing::LibraryFixture {
  protected:
    void SetUp() override {
        LibraryFixture::SetUp();
        startCloud(Json::parse(R"({"controller": {
          "users": [{"username": "admin", "password": "pw"}],
          "gateways": [{"gw_name": "spoke-gw-1", "vpc_id": "spoke:rg"},
                       {"gw_name": "transit-gw", "gw_type": "transit", "vpc_id": "transit:rg"}],
          "attachments": [{"spoke_gw_name": "spoke-gw-1", "transit_gw_name": "transit-gw"}],
          "security_domains": [{"domain_name": "prod", "attachments": []}]}})"));
        Telvane::configure({.caBundle = cloud().caFile(), .transport = nullptr});
        run_.run.cid = Telvane::getCid(cloud().controllerAddress(), "admin", "pw");
        run_.run.apiEndpointUrl = "https://" + cloud().controllerAddress() + "/v1/api";
    }
    static void options(Record configure, Record domain) {
        Globals::yaml() = {{"configure_gw_name", std::move(configure)},
                           {"domain", std::move(domain)},
                           {"spoke_gw_name", "spoke-gw-1"}};
    }
    Json domainMembers() {
        return cloud().dump()["controller"]["security_domains"][0]["attachments"];
    }
};

TEST_F(SecurityDomainTest, AttachAndDetachDifferOnlyInTheAction) {
    options(nullptr, "prod");  // only a configure_gw_name of false stops the operation
    SwitchTraffic::attach_spoke_domain(true);
    EXPECT_EQ(domainMembers(), Json::array({"spoke-gw-1"}));
    SwitchTraffic::attach_spoke_domain(false);
    EXPECT_EQ(domainMembers(), Json::array());

    EXPECT_EQ(lines(), (std::vector<std::string>{"info: - Attach spoke-gw-1 to domain prod",
                                                 "info: - Detach spoke-gw-1 from domain prod"}));
    const Json log = writeLog();
    ASSERT_EQ(log.size(), 2u);
    const Json fields = {{"attachment_name", "spoke-gw-1"}, {"domain_name", "prod"}};
    EXPECT_EQ(log[0]["action"], "associate_attachment_to_multi_cloud_security_domain");
    EXPECT_EQ(log[1]["action"], "disassociate_attachment_from_multi_cloud_security_domain");
    EXPECT_EQ(log[0]["fields"], fields);
    EXPECT_EQ(log[1]["fields"], fields);
}

TEST_F(SecurityDomainTest, NoGatewayConfigurationOrNoDomainDoesNothing) {
    for (auto [configure, domain] :
         std::vector<std::pair<Record, Record>>{{false, "prod"}, {true, nullptr}, {true, ""}}) {
        options(configure, domain);
        SwitchTraffic::attach_spoke_domain(true);
        SwitchTraffic::attach_spoke_domain(false);
    }
    EXPECT_TRUE(lines().empty());
    EXPECT_TRUE(writeLog().empty());
}

TEST_F(SecurityDomainTest, DryRunLogsOneLineAndSendsNothing) {
    dryRun();
    options(true, "prod");
    SwitchTraffic::attach_spoke_domain(true);
    EXPECT_EQ(lines(), std::vector<std::string>{"info: - Attach spoke-gw-1 to domain prod"});
    EXPECT_TRUE(writeLog().empty());
    EXPECT_EQ(domainMembers(), Json::array());
}

}  // namespace

// A change that gets past the operations' own dry-run checks is refused where it would leave the
// process, and the run fails.
#include "library_fixture.hpp"

#include "platform/azure/pipeline.hpp"
#include "platform/http/dry_run_guard.hpp"
#include "services/context/app_exit_status.hpp"
#include "services/terraform/account_io.hpp"

namespace {

using dm::emu::Json;

const std::string kSub = "55555555-aaaa-bbbb-cccc-000000000005";

class DryRunGuardTest : public dm::testing::LibraryFixture {
  protected:
    void SetUp() override {
        LibraryFixture::SetUp();
        startCloud({{"subscriptions",
                     {{{"id", kSub},
                       {"resourceGroups",
                        {{{"name", "rg"},
                          {"routeTables", {{{"name", "rt-1"}}}},
                          {"virtualNetworks",
                           {{{"name", "spoke"}, {"addressPrefixes", {"10.1.0.0/16"}}}}}}}}}}}});
    }
};

TEST_F(DryRunGuardTest, WritesThatSlipThroughAreRefusedAndFailTheRun) {
    dryRun();
    auto network = client(kSub);
    // Reads still go out: the token grant and the GET.
    const auto table = network.route_tables.get("rg", "rt-1");
    EXPECT_EQ(dm::AppExitStatus().getStatus(), 0);

    try {
        network.route_tables.begin_create_or_update("rg", "rt-1", table);
        FAIL() << "a PUT left during a dry run";
    } catch (const dm::http::DryRunRefused& e) {
        EXPECT_EQ(std::string(e.what()).rfind("dry run: refused to send PUT https://", 0), 0u)
            << e.what();
    }
    const auto folder = std::filesystem::temp_directory_path() / "dm-dry-run-guard";
    EXPECT_THROW(dm::terraform::detail::replaceFile(folder / "x.tf", "x",
                                                    std::filesystem::perms::owner_read),
                 dm::http::DryRunRefused);
    EXPECT_FALSE(std::filesystem::exists(folder));
    EXPECT_TRUE(writeLog().empty());
    EXPECT_EQ(dm::AppExitStatus().getStatus(), 1);
}

TEST(ArmRequests, OnlyReadsPassTheGuard) {
    const std::string arm = "https://management.azure.com/subscriptions/s";
    const std::vector<std::tuple<std::string, std::string, bool>> cases = {
        {"GET", arm + "/providers/Microsoft.Network/virtualNetworks?api-version=1", true},
        {"HEAD", arm, true},
        {"POST", "https://login.example/tenant/oauth2/v2.0/token", true},
        {"POST", "https://management.azure.com/providers/Microsoft.ResourceGraph/resources?a=1",
         true},
        {"PUT", arm + "/resourceGroups/rg/providers/Microsoft.Network/routeTables/rt", false},
        {"PATCH", arm, false},
        {"DELETE", arm + "/resourceGroups/rg", false},
        {"POST", arm + "/resourceGroups/rg/providers/Microsoft.Network/x/start", false},
        {"POST", arm + "/oauth2/v2.0/token/extra", false},
    };
    for (const auto& [method, url, read] : cases) {
        EXPECT_EQ(dm::azure::isReadOnlyRequest({method, url}), read) << method << " " << url;
    }
}

}  // namespace

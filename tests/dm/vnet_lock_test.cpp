// VNet lock removal against the emulator: one lock per call, indentation, dry run, failures.
#include "library_fixture.hpp"

#include "core/text.hpp"

namespace {

using dm::arm::SwitchTraffic;
using dm::emu::Json;

const std::string kSub = "44444444-aaaa-bbbb-cccc-000000000004";

std::string vnetId(const std::string& name) {
    return "/subscriptions/" + kSub + "/resourceGroups/rg-spoke/providers/Microsoft.Network/" +
           "virtualNetworks/" + name;
}

std::string lower(const Json& text) {
    return dm::text::toLower(text.get<std::string>());
}

Json topology() {
    return {{"subscriptions",
             {{{"id", kSub},
               {"resourceGroups",
                {{{"name", "rg-spoke"},
                  {"virtualNetworks",
                   {{{"name", "open"}, {"addressPrefixes", {"10.1.0.0/16"}}},
                    {{"name", "locked"}, {"addressPrefixes", {"10.2.0.0/16"}}}}}}}}}}},
            {"locks",
             {{{"scope", vnetId("locked")}, {"name", "lock-a"}, {"level", "CanNotDelete"}},
              {{"scope", vnetId("locked")}, {"name", "lock-b"}, {"level", "ReadOnly"}}}}};
}

class VnetLockTest : public dm::testing::LibraryFixture {
  protected:
    void SetUp() override {
        LibraryFixture::SetUp();
        startCloud(topology());
    }

    // Names of the locks left on the VNet "locked".
    std::vector<std::string> locksLeft() const {
        std::vector<std::string> out;
        const Json state = emulator_->dump();
        for (const auto& lock : state["locks"]) {
            if (lower(lock["scope"]) == lower(vnetId("locked")))
                out.push_back(lock["name"]);
        }
        return out;
    }

    // Each write as "<method> <path>"; ARM paths compare without regard to case.
    std::vector<std::string> deletedLocks() const {
        std::vector<std::string> out;
        for (const auto& w : writeLog()) {
            out.push_back(w["method"].get<std::string>() + " " + lower(w["path"]));
        }
        return out;
    }

    static std::string lockPath(const std::string& name) {
        return lower(vnetId("locked") + "/providers/Microsoft.Authorization/locks/" + name);
    }
};

TEST_F(VnetLockTest, VnetWithoutLockSaysSo) {
    SwitchTraffic::deleteVnetLock(credential(kSub), vnet(kSub, "rg-spoke", "open"));
    EXPECT_EQ(lines(), (std::vector<std::string>{"info: - Delete vnet lock in open",
                                                 "info:   no vnet lock found"}));
    EXPECT_TRUE(writeLog().empty());
}

TEST_F(VnetLockTest, EachCallDeletesOnlyTheFirstLock) {
    const auto locked = vnet(kSub, "rg-spoke", "locked");
    SwitchTraffic::deleteVnetLock(credential(kSub), locked);
    EXPECT_EQ(lines(), (std::vector<std::string>{"info: - Delete vnet lock in locked",
                                                 "info:   delete lock lock-a"}));
    EXPECT_EQ(deletedLocks(), std::vector<std::string>{"DELETE " + lockPath("lock-a")});
    EXPECT_EQ(locksLeft(), std::vector<std::string>{"lock-b"});

    SwitchTraffic::deleteVnetLock(credential(kSub), locked);
    EXPECT_EQ(deletedLocks(), (std::vector<std::string>{"DELETE " + lockPath("lock-a"),
                                                        "DELETE " + lockPath("lock-b")}));
    EXPECT_TRUE(locksLeft().empty());
}

TEST_F(VnetLockTest, DryRunLogsTheSameAndKeepsTheLock) {
    dryRun();
    SwitchTraffic::deleteVnetLock(credential(kSub), vnet(kSub, "rg-spoke", "locked"));
    EXPECT_EQ(lines(), (std::vector<std::string>{"info: - Delete vnet lock in locked",
                                                 "info:   delete lock lock-a"}));
    EXPECT_TRUE(writeLog().empty());
    EXPECT_EQ(locksLeft(), (std::vector<std::string>{"lock-a", "lock-b"}));
}

TEST_F(VnetLockTest, IndentPrefixesEveryLineIncludingTheError) {
    cloud().injectFault({{"method", "DELETE"},
                         {"path", "locks/lock-a$"},
                         {"status", 403},
                         {"code", "AuthorizationFailed"},
                         {"message", "No delete permission."}});
    SwitchTraffic::deleteVnetLock(credential(kSub), vnet(kSub, "rg-spoke", "open"), 2);
    SwitchTraffic::deleteVnetLock(credential(kSub), vnet(kSub, "rg-spoke", "locked"), 2);

    EXPECT_EQ(lines(), (std::vector<std::string>{
                           "info:   - Delete vnet lock in open", "info:     no vnet lock found",
                           "info:   - Delete vnet lock in locked", "info:     delete lock lock-a",
                           "error:     **Error** (AuthorizationFailed) No delete permission."}));
    EXPECT_EQ(locksLeft(), (std::vector<std::string>{"lock-a", "lock-b"}));
}

TEST_F(VnetLockTest, AbsentCredentialOrVnetIsSilent) {
    const auto locked = vnet(kSub, "rg-spoke", "locked");
    cloud().resetCounters();
    SwitchTraffic::deleteVnetLock(std::nullopt, locked);
    SwitchTraffic::deleteVnetLock(credential(kSub), std::nullopt, 2);
    EXPECT_TRUE(lines().empty());
    EXPECT_EQ(cloud().counters()["arm_read"], 0);
    EXPECT_EQ(locksLeft(), (std::vector<std::string>{"lock-a", "lock-b"}));
}

}  // namespace

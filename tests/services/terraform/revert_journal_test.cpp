// The revert journal and the account lock against a real temporary account folder: what is on
// disk before a change, what a revert reads back, and one run per account.
#include "services/terraform/revert_journal.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "core/error.hpp"
#include "services/context/globals.hpp"
#include "services/terraform/account_lock.hpp"
#include "services/terraform/terraform.hpp"
#include "support/scoped_run.hpp"

namespace dm {
namespace {

namespace fs = std::filesystem;

class RevertJournalTest : public ::testing::Test {
  protected:
    testing::ScopedRun run_;
    fs::path dir;
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "dm-journal-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
        Globals::setTargetFolder(dir.string());
        Terraform::setSwitchTrafficTargetFolder();
    }
    void TearDown() override { fs::remove_all(dir); }
    std::string journal() {
        std::ostringstream out;
        out << std::ifstream(RevertJournal::path()).rdbuf();
        return out.str();
    }
};

TEST_F(RevertJournalTest, EntriesAndStepsAreOnDiskBeforeEachChangeAndReadBackByARevert) {
    RunContext& run = currentRun();
    Record& record = run.revertRecord.emplace(Record::parse(
        R"({"vnetid-tf-size": {}, "gw_adv_cidr": {}, "peering_prop": {}, "peerings": {},
            "vhc_list": {}})"));
    RevertJournal::openAccount(run);
    RevertJournal::enterVnet("/vnets/a", "sub:a", "a.tf");
    RevertJournal::watchGateway("gw-a");
    RevertJournal::beginStep("propagation");
    EXPECT_FALSE(Terraform::isRevertInfoExist());  // nothing changed yet, nothing written
    run.beforeChange();
    EXPECT_TRUE(Terraform::isRevertInfoExist());
    record["gw_adv_cidr"]["gw-a"] = Record::array({"10.0.0.0/16"});
    RevertJournal::beginStep("advertise");
    run.beforeChange();
    run.beforeChange();  // nothing new: nothing written
    record["peerings"]["sub:a"] = Record::array({Record{{"localPeeringName", "p"}}});
    record["gw_adv_cidr"]["other-gw"] = Record::array({"1.0.0.0/8"});  // not watched
    run.beforeChange();
    RevertJournal::closeAccount(run);
    EXPECT_EQ(
        journal(),
        "{\"switch\":\"started\"}\n"
        "{\"vnet\":\"/vnets/a\",\"step\":\"propagation\"}\n"
        "{\"vnet\":\"/vnets/a\",\"step\":\"advertise\"}\n"
        "{\"section\":\"gw_adv_cidr\",\"key\":\"gw-a\",\"value\":[\"10.0.0.0/16\"]}\n"
        "{\"section\":\"peerings\",\"key\":\"sub:a\",\"value\":[{\"localPeeringName\":\"p\"}]}\n");

    // A crash while the last line was written: that change was never sent.
    std::ofstream(RevertJournal::path(), std::ios::app) << "{\"vnet\":\"/vnets/b\",\"st";
    Record back = Terraform::readRevertInfo();
    auto progress = RevertJournal::load(back);
    ASSERT_TRUE(progress);
    EXPECT_TRUE(progress->switchIncomplete);
    EXPECT_EQ(progress->vnets.size(), 1u);
    EXPECT_EQ(progress->vnets["/vnets/a"].steps,
              (std::set<std::string>{"propagation", "advertise"}));
    EXPECT_EQ(back["gw_adv_cidr"], Record::parse(R"({"gw-a": ["10.0.0.0/16"]})"));
    EXPECT_EQ(back["peerings"]["sub:a"][0]["localPeeringName"], "p");

    // A line that cannot be read is refused, naming the file and line, unless it is the last.
    std::ofstream(RevertJournal::path(), std::ios::app) << "\n{\"vnet\":\"/vnets/b\"}\n";
    try {
        RevertJournal::load(back);
        ADD_FAILURE() << "a broken line was accepted";
    } catch (const Error& e) {
        EXPECT_EQ(std::string(e.what()), RevertJournal::path() + ": line 6 is not a journal entry");
    }
}

TEST_F(RevertJournalTest, OneRunPerAccountAndTheHolderIsNamed) {
    std::string holder;
    auto first = AccountLock::tryAcquire(dir.string(), holder);
    ASSERT_TRUE(first);
    auto second = AccountLock::tryAcquire(dir.string(), holder);
    EXPECT_FALSE(second);
    EXPECT_EQ(holder.rfind("pid " + std::to_string(::getpid()) + " on host ", 0), 0u) << holder;
    first.reset();
    EXPECT_TRUE(AccountLock::tryAcquire(dir.string(), holder));
}

}  // namespace
}  // namespace dm

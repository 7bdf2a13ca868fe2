// AppExitStatus: the status follows what was logged, and a failure mark wins.

#include <gtest/gtest.h>
#include <spdlog/spdlog.h>

#include "services/context/app_exit_status.hpp"
#include "support/scoped_run.hpp"

namespace dm {
namespace {

class AppExitStatusTest : public ::testing::Test {
  protected:
    void SetUp() override {
        logger_ = std::make_shared<spdlog::logger>("exit-status-test", run_.run.exitStatus.sink());
        logger_->set_level(spdlog::level::trace);
    }
    testing::ScopedRun run_;
    std::shared_ptr<spdlog::logger> logger_;
};

TEST_F(AppExitStatusTest, CountsOnlyErrorAndCriticalLines) {
    logger_->debug("d");
    logger_->info("i");
    logger_->warn("  **Alert** w");
    EXPECT_EQ(AppExitStatus().getStatus(), 0);
    logger_->error("  **Error** e");
    logger_->critical("c");
    EXPECT_EQ(AppExitStatus().errorCount(), 2u);
    EXPECT_EQ(AppExitStatus().getStatus(), 2);
}

TEST_F(AppExitStatusTest, FailureMarkWinsAndObjectsShareIt) {
    AppExitStatus().markFailed();
    EXPECT_EQ(AppExitStatus().getStatus(), 1);
    logger_->error("e");
    EXPECT_EQ(AppExitStatus().getStatus(), 1);
    // A new run starts clean; its status is its own.
    testing::ScopedRun next;
    EXPECT_EQ(AppExitStatus().getStatus(), 0);
}

TEST_F(AppExitStatusTest, ChangeRefusedInADryRunFailsTheRun) {
    run_.run.dryRun.noteRefused();
    EXPECT_EQ(AppExitStatus().getStatus(), 1);
}

}  // namespace
}  // namespace dm

// The status line: its text, and what reaches standard error with and without a terminal.

#include "services/context/progress.hpp"

#include <gtest/gtest.h>

namespace dm {
namespace {

using namespace std::chrono_literals;

ProgressState account(std::vector<std::pair<std::string, std::string>> inFlight, size_t done = 1,
                      std::string accountStep = "") {
    return {"sub-a1", 1, 2, 3, done, std::move(inFlight), std::move(accountStep), 1};
}

TEST(ProgressLine, SaysWhereTheRunStands) {
    struct Case {
        ProgressState state;
        size_t width;
        std::string line;
    };
    const std::vector<Case> cases = {
        {account({{"spoke-web", "subnets"}}), 0,
         "account sub-a1 (1/2) | VNet 2 of 3 spoke-web: subnets | 0:00:42 | 1 failure"},
        {account({}, 0, "listing VNets"), 0,
         "account sub-a1 (1/2) | VNets 0 of 3 done: listing VNets | 0:00:42 | 1 failure"},
        {account({{"a", "locks"}, {"b", ""}}), 0,
         "account sub-a1 (1/2) | 2 VNets in flight (a: locks, b), 1 of 3 done | 0:00:42 | "
         "1 failure"},
        // A name cannot break the line or drive the terminal.
        {account({{"x\n\033[2Jy", "locks"}}), 0,
         "account sub-a1 (1/2) | VNet 2 of 3 x??[2Jy: locks | 0:00:42 | 1 failure"},
        // Cut one column short of the terminal, never inside a UTF-8 character.
        {account({{"spoke-\xc3\xa9", ""}}), 43, "account sub-a1 (1/2) | VNet 2 of 3 spoke-"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(progressLine(c.state, 42s, c.width), c.line);
}

class ProgressDisplayTest : public ::testing::Test {
  protected:
    ProgressDisplay make(bool terminal) {
        return ProgressDisplay(
            ProgressDisplay::Terminal{[terminal] { return terminal; }, [] { return size_t(0); },
                                      [this](std::string_view text) { written_ += text; }},
            [this] { return now_; }, /*tick=*/false);
    }

    std::string written_;
    std::chrono::steady_clock::time_point now_{};
};

TEST_F(ProgressDisplayTest, NothingIsDrawnWithoutATerminalOrWhenTurnedOff) {
    for (const auto& [terminal, allowed] : {std::pair{false, true}, std::pair{true, false}}) {
        written_.clear();
        ProgressDisplay progress = make(terminal);
        progress.start(allowed, [] { return size_t(0); });
        progress.beginVnet("spoke-app");
        bool logged = false;
        progress.aroundOutput([&] { logged = true; });
        progress.finish();
        EXPECT_TRUE(logged);
        EXPECT_FALSE(progress.active());
        EXPECT_EQ(written_, "") << terminal << allowed;
    }
}

TEST_F(ProgressDisplayTest, ALogLineIsWrittenOnACleanLineAndTheStatusComesBack) {
    size_t failures = 0;
    ProgressDisplay progress = make(true);
    progress.start(true, [&] { return failures; });
    progress.beginAccount("sub-a1", 1, 1);
    progress.setVnetCount(2);
    progress.beginVnet("spoke-app");
    written_.clear();
    now_ += 65s;
    failures = 2;
    progress.setStep("spoke-app", "peerings");
    const std::string line =
        "account sub-a1 (1/1) | VNet 1 of 2 spoke-app: peerings | 0:01:05 | 2 failures";
    EXPECT_EQ(written_, "\r\033[K" + line);

    written_.clear();
    progress.aroundOutput([&] { written_ += "<log line>\n"; });
    EXPECT_EQ(written_, "\r\033[K<log line>\n\r\033[K" + line);

    progress.endVnet("spoke-app");
    EXPECT_NE(written_.find("| VNets 1 of 2 done |"), std::string::npos) << written_;
    written_.clear();
    progress.finish();
    EXPECT_EQ(written_, "\r\033[K");  // cleared at the end
    progress.setStep("spoke-app", "late");
    progress.aroundOutput([] {});
    EXPECT_EQ(written_, "\r\033[K");  // and never drawn again
}

}  // namespace
}  // namespace dm

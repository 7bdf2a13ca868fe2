// The timing profiles: what a running operation asks of its pollers, the drawn delays, and
// operations of the realistic profile that end by the clock rather than by polls.
#include <thread>

#include "emulator_fixture.hpp"
#include "timing_profile.hpp"

namespace dm::emu::testing {
namespace {

using std::chrono::microseconds;

TEST(TimingProfile, PollHeaderAndDelaysFollowTheProfileAndScale) {
    struct Case {
        TimingOptions options;
        std::pair<std::string, std::string> header;
    };
    for (const auto& c : std::vector<Case>{{{"uniform", 0.01, 1}, {"Retry-After", "0"}},
                                           {{"realistic", 1.0, 1}, {"Retry-After", "10"}},
                                           {{"realistic", 2.55, 1}, {"Retry-After", "26"}},
                                           {{"realistic", 0.01, 1}, {"retry-after-ms", "100"}}}) {
        Timing timing(c.options);
        EXPECT_EQ(timing.pollHeader(), c.header) << c.options.timeScale;
        const bool realistic = c.options.profile == "realistic";
        EXPECT_EQ(timing.operationDuration("k").has_value(), realistic);
        const double s = c.options.timeScale;
        const auto attach =
            timing.requestDelay("controller", "POST", "/v1/api", "attach_spoke_to_transit_gateway");
        EXPECT_EQ(timing.requestDelay("admin", "GET", "/admin/state", ""), microseconds(0));
        if (realistic) {
            EXPECT_GE(attach.count(), 20'000'000 * s);
            EXPECT_LE(attach.count(), 40'000'000 * s);
        } else {
            EXPECT_EQ(attach, microseconds(0));
        }
    }
}

TEST(TimingProfile, DrawsRepeatFromTheSeedWhateverTheOrder) {
    auto draws = [](uint64_t seed, bool reversed) {
        Timing timing({"realistic", 1.0, seed});
        std::vector<std::string> paths = {"/a", "/b", "/a", "/c"};
        std::map<std::string, std::vector<long long>> out;
        if (reversed) {
            std::reverse(paths.begin(), paths.end());
        }
        for (const auto& p : paths) {
            const auto d = timing.requestDelay("arm_read", "GET", p, "");
            EXPECT_GE(d, microseconds(30'000));
            EXPECT_LE(d, microseconds(100'000));
            out[p].push_back(d.count());
        }
        return out;
    };
    EXPECT_EQ(draws(7, false), draws(7, true));
    EXPECT_NE(draws(7, false), draws(8, false));
}

class RealisticTest : public EmulatorTest {
  protected:
    EmulatorOptions options() override {
        EmulatorOptions o = EmulatorTest::options();
        o.lroPolls = 5;  // ignored: the clock ends operations
        o.timing = {"realistic", 0.1, 3};
        return o;
    }
};

TEST_F(RealisticTest, OperationEndsAtItsTimeNotAfterPolls) {
    const std::string app = kNet + "/virtualNetworks/spoke-a/subnets/app" + kNetVersion;
    Resp started = client->put(app, client->get(app).body);
    ASSERT_EQ(started.status, 200) << started.text;
    EXPECT_EQ(started.header("retry-after-ms"), "1000");
    EXPECT_EQ(started.header("Retry-After"), "");
    const std::string poll = started.header("Azure-AsyncOperation").substr(emu->baseUrl().size());
    Resp running = client->get(poll);
    EXPECT_EQ(running.body["status"], "InProgress");  // 0.5 s at least
    EXPECT_EQ(running.header("retry-after-ms"), "1000");
    // 2 s at most, scaled; one poll then finds it done.
    std::this_thread::sleep_for(std::chrono::milliseconds(2'100));
    EXPECT_EQ(client->get(poll).body["status"], "Succeeded");

    Client admin(*emu);
    EXPECT_EQ(admin.get("/admin/settings").body["time_scale"], 0.1);
    Resp bad = admin.post("/admin/settings", R"({"time_scale": 0})", "application/json");
    EXPECT_EQ(bad.body["error"]["message"],
              "settings: \"time_scale\" must be a number > 0 and <= 100");
}

}  // namespace
}  // namespace dm::emu::testing

// Whatever moment a switch or a revert is killed at (SIGKILL), running --revert until it exits 0
// brings the topology and the account folders back to how they started. Each trial draws its
// kill moment from a seeded generator: DM_KILL_TRIALS sets the number of trials of each test,
// DM_KILL_SEED the seed (printed, so that a failing run can be repeated), DM_KILL_JOBS how many
// trials run side by side.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

#include "demo_fixture.hpp"

namespace dm::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::duration_cast;
using std::chrono::microseconds;
using std::chrono::milliseconds;

// Slow requests spread a run over seconds, so that kill moments fall all along it.
const std::vector<std::string> kEmulatorArgs = {"--latency-ms", "20"};
constexpr int kMaxReverts = 5;

unsigned long envNumber(const char* name, unsigned long fallback) {
    const char* value = std::getenv(name);
    return value && *value ? std::stoul(value) : fallback;
}

// The Terraform files the account folders start with, by "<alias>/<file>". Files the tool
// generates later (associations, import scripts) are not among them.
std::map<std::string, std::string> initialTerraform() {
    std::map<std::string, std::string> files;
    for (const std::string& alias : kDemoAccounts) {
        for (const auto& f : fs::directory_iterator(demoSource() / "terraform" / alias)) {
            if (f.path().extension() == ".tf")
                files[alias + "/" + f.path().filename().string()] = slurp(f.path());
        }
    }
    return files;
}

std::map<std::string, std::string> currentTerraform(const DemoWorkspace& demo) {
    auto files = initialTerraform();
    for (auto& [name, text] : files) {
        const fs::path path = demo.work() / "output" / name;
        text = fs::exists(path) ? slurp(path) : "<missing>";
    }
    return files;
}

std::string describe(const std::string& title, const KilledRun& run) {
    std::ostringstream out;
    out << "--- " << title << ": "
        << (run.killed ? "killed" : "ended first, exit " + std::to_string(run.result.exitCode))
        << "\n"
        << run.result.out << run.result.err;
    return out.str();
}

// The differences between two fact maps, one line each.
std::string factDifferences(const std::map<std::string, std::string>& initial,
                            const std::map<std::string, std::string>& now) {
    std::ostringstream out;
    auto value = [](const std::map<std::string, std::string>& m, const std::string& key) {
        auto it = m.find(key);
        return it == m.end() ? std::string("<absent>") : "'" + it->second + "'";
    };
    std::map<std::string, bool> keys;
    for (const auto& [key, v] : initial)
        keys[key] = true;
    for (const auto& [key, v] : now)
        keys[key] = true;
    for (const auto& [key, unused] : keys) {
        if (value(initial, key) != value(now, key))
            out << "  " << key << ": was " << value(initial, key) << ", now " << value(now, key)
                << "\n";
    }
    return out.str();
}

class KillAndRevert : public ::testing::Test {
  protected:
    void SetUp() override {
        seed_ = envNumber("DM_KILL_SEED", std::random_device{}());
        random_.seed(seed_);
        std::cout << "DM_KILL_SEED=" << seed_ << "\n";
    }

    // A kill moment in [0, span].
    microseconds draw(microseconds span) {
        return microseconds(std::uniform_int_distribution<long long>(0, span.count())(random_));
    }

    // Runs --revert until it exits 0; false when it has not after kMaxReverts runs.
    static bool revertUntilDone(const DemoWorkspace& demo, std::string& transcript,
                                std::vector<std::string> extra) {
        extra.insert(extra.begin(), "--revert");
        for (int run = 1; run <= kMaxReverts; ++run) {
            const ProcessResult r = demo.tool(extra);
            transcript += "--- revert " + std::to_string(run) + ": exit " +
                          std::to_string(r.exitCode) + "\n" + r.out + r.err;
            if (r.exitCode == 0)
                return true;
        }
        return false;
    }

    // What is not back as it started; empty when everything is.
    static std::string notBack(DemoWorkspace& demo) {
        std::string problems = factDifferences(facts(demo.initial(), /*withLocks=*/false),
                                               facts(demo.emulator().state(), false));
        const auto initial = initialTerraform();
        const auto now = currentTerraform(demo);
        for (const auto& [name, text] : initial) {
            if (now.at(name) != text)
                problems += "  " + name + " differs from the initial file\n";
        }
        for (const std::string& alias : kDemoAccounts) {
            if (fs::exists(demo.revertJson(alias)))
                problems += "  " + demo.revertJson(alias).string() + " is still there\n";
        }
        return problems;
    }

    // Runs the trials, each on a fresh emulator and fresh account folders, killing at a moment
    // drawn in [0, span]. `killed` does the killed part, appends its outputs to the transcript
    // and returns what went wrong before the kill, if anything. All trials run, so that a
    // failing run also tells how many pass. The runs mostly wait on the emulator's latency, so
    // DM_KILL_JOBS trials (default 2) run side by side; the kill moments are drawn up front, in
    // trial order, so that a seed gives the same moments whatever the number of jobs.
    // `revertOptions` gives the options of the reverts after trial i.
    void runTrials(
        const char* what, unsigned long trials, microseconds span,
        const std::function<std::string(DemoWorkspace&, microseconds, std::string&)>& killed,
        const std::function<std::vector<std::string>(size_t)>& revertOptions = [](size_t) {
            return std::vector<std::string>{};
        }) {
        struct Trial {
            microseconds delay{};
            std::string problems;
        };
        std::vector<Trial> results(trials);
        for (auto& trial : results)
            trial.delay = draw(span);
        std::mutex firstMutex;
        std::string firstTranscript;
        std::atomic<size_t> next{0};
        auto work = [&] {
            for (size_t i; (i = next++) < results.size();) {
                Trial& trial = results[i];
                std::string transcript;
                try {
                    DemoWorkspace demo(kEmulatorArgs);
                    trial.problems = killed(demo, trial.delay, transcript);
                    if (!revertUntilDone(demo, transcript, revertOptions(i))) {
                        trial.problems += "  --revert did not exit 0 in " +
                                          std::to_string(kMaxReverts) + " runs\n";
                    }
                    trial.problems += notBack(demo);
                    if (!trial.problems.empty()) {
                        const std::lock_guard lock(firstMutex);
                        if (firstTranscript.empty()) {
                            demo.keep();
                            firstTranscript = "outputs of trial " + std::to_string(i + 1) +
                                              " (work folder " + demo.work().string() +
                                              " kept):\n" + transcript;
                        }
                    }
                } catch (const std::exception& e) {
                    trial.problems += std::string("  ") + e.what() + "\n";
                }
            }
        };
        const auto start = Clock::now();
        std::vector<std::thread> jobs;
        for (unsigned long j = 0; j < std::max(1ul, envNumber("DM_KILL_JOBS", 2)); ++j)
            jobs.emplace_back(work);
        for (auto& job : jobs)
            job.join();
        const double seconds = duration_cast<milliseconds>(Clock::now() - start).count() / 1000.0;

        unsigned long passed = 0;
        std::string failures;
        for (size_t i = 0; i < results.size(); ++i) {
            if (results[i].problems.empty()) {
                ++passed;
                continue;
            }
            failures += "trial " + std::to_string(i + 1) + ", killed at " +
                        std::to_string(duration_cast<milliseconds>(results[i].delay).count()) +
                        " ms:\n" + results[i].problems;
        }
        std::cout << what << ": " << passed << " of " << trials << " trials came back in "
                  << seconds << " s with " << jobs.size() << " job(s), seed " << seed_ << "\n";
        EXPECT_EQ(passed, trials) << what << ", DM_KILL_SEED=" << seed_ << "\n"
                                  << failures << firstTranscript;
    }

    // Reverts (with `options`) killed at moments drawn over a whole revert's span.
    void revertKills(const char* what, const std::vector<std::string>& options,
                     unsigned long trials) {
        std::vector<std::string> revert = options;
        revert.insert(revert.begin(), "--revert");
        microseconds span;
        {
            DemoWorkspace demo(kEmulatorArgs);
            ProcessResult r = demo.tool();
            ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
            const auto start = Clock::now();
            r = demo.tool(revert);
            span = duration_cast<microseconds>(Clock::now() - start);
            ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
        }
        std::cout << "a revert takes " << duration_cast<milliseconds>(span).count() << " ms\n";
        runTrials(
            what, trials, span,
            [&](DemoWorkspace& demo, microseconds delay, std::string& transcript) {
                const ProcessResult r = demo.tool();
                transcript += "--- switch: exit " + std::to_string(r.exitCode) + "\n" + r.out;
                transcript += describe("revert", demo.toolKilledAfter(delay, revert));
                return r.exitCode == 0 ? std::string() : "  the switch before the kill failed\n";
            },
            [&](size_t) { return options; });
    }

    unsigned long seed_ = 0;
    std::mt19937_64 random_;
};

TEST_F(KillAndRevert, SwitchKilledAtAnyMoment) {
    microseconds span;
    {
        DemoWorkspace demo(kEmulatorArgs);
        const auto start = Clock::now();
        const ProcessResult r = demo.tool();
        span = duration_cast<microseconds>(Clock::now() - start);
        ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    }
    std::cout << "a switch takes " << duration_cast<milliseconds>(span).count() << " ms\n";
    runTrials("switch kills", envNumber("DM_KILL_TRIALS", 20), span,
              [](DemoWorkspace& demo, microseconds delay, std::string& transcript) {
                  transcript += describe("switch", demo.toolKilledAfter(delay));
                  return std::string();
              });
}

// VNets switched eight at a time, killed at any moment, come back with a revert run either way.
TEST_F(KillAndRevert, ParallelSwitchKilledAtAnyMoment) {
    const std::vector<std::string> parallel = {"--parallel", "8"};
    microseconds span;
    {
        DemoWorkspace demo(kEmulatorArgs);
        const auto start = Clock::now();
        const ProcessResult r = demo.tool(parallel);
        span = duration_cast<microseconds>(Clock::now() - start);
        ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    }
    runTrials(
        "parallel switch kills", envNumber("DM_KILL_TRIALS", 10), span,
        [&](DemoWorkspace& demo, microseconds delay, std::string& transcript) {
            transcript += describe("switch --parallel 8", demo.toolKilledAfter(delay, parallel));
            return std::string();
        },
        [&](size_t trial) { return trial % 2 ? parallel : std::vector<std::string>{}; });
}

TEST_F(KillAndRevert, RevertKilledAtAnyMoment) {
    revertKills("revert kills", {}, envNumber("DM_KILL_TRIALS", 10));
}

TEST_F(KillAndRevert, ParallelRevertKilledAtAnyMoment) {
    revertKills("parallel revert kills", {"--parallel", "8"}, envNumber("DM_KILL_TRIALS", 6));
}

}  // namespace
}  // namespace dm::test

#pragma once
// The bundled demo as an end-to-end work area: a temporary folder with an emulator process on
// the demo topology, the demo's account folders and its discovery document, and the tool run
// against them.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "emulator_process.hpp"
#include "process.hpp"

namespace dm::test {

// The demo's account aliases, in the discovery document's order.
inline const std::vector<std::string> kDemoAccounts = {"spokes-east", "hub-central"};

// examples/demo of the source tree.
std::filesystem::path demoSource();

std::string slurp(const std::filesystem::path& path);

// The facts a switch changes and a revert must bring back, keyed for comparison.
std::map<std::string, std::string> facts(const Json& state, bool withLocks = true);

class DemoWorkspace {
  public:
    // A fresh temporary folder holding the demo's account folders and discovery document, with
    // an emulator on the demo topology (or on `topology`, when given) started with
    // `emulatorArgs`.
    explicit DemoWorkspace(const std::vector<std::string>& emulatorArgs = {},
                           const Json& topology = nullptr);
    // Stops the emulator, then removes the folder unless keep() was called.
    ~DemoWorkspace();
    DemoWorkspace(const DemoWorkspace&) = delete;
    DemoWorkspace& operator=(const DemoWorkspace&) = delete;

    void keep() { keep_ = true; }
    const std::filesystem::path& work() const { return work_; }
    EmulatorProcess& emulator() { return *emulator_; }
    // The emulator's state before any run.
    const Json& initial() const { return initial_; }

    // Writes the discovery document from a template with the @...@ values filled in.
    void writeYaml(std::string text);
    // Runs the tool on the discovery document with `extra` options.
    ProcessResult tool(const std::vector<std::string>& extra = {}) const;
    // The same, killed with SIGKILL after `delay` unless it ended first.
    KilledRun toolKilledAfter(std::chrono::microseconds delay,
                              const std::vector<std::string>& extra = {}) const;
    std::filesystem::path revertJson(const std::string& alias) const;

  private:
    std::vector<std::string> toolArgs(const std::vector<std::string>& extra) const;

    std::filesystem::path work_;
    std::unique_ptr<EmulatorProcess> emulator_;
    Json initial_;
    bool keep_ = false;
};

// One demo work area per test, kept on disk when the test fails.
class DemoRun : public ::testing::Test {
  protected:
    void SetUp() override {
        demo_ = std::make_unique<DemoWorkspace>();
        work_ = demo_->work();
        emulator_ = &demo_->emulator();
        initial_ = demo_->initial();
    }

    void TearDown() override {
        if (HasFailure())
            demo_->keep();
        demo_.reset();
    }

    void writeYaml(std::string text) { demo_->writeYaml(std::move(text)); }
    ProcessResult tool(std::vector<std::string> extra = {}) { return demo_->tool(extra); }
    std::filesystem::path revertJson(const std::string& alias) const {
        return demo_->revertJson(alias);
    }

    std::unique_ptr<DemoWorkspace> demo_;
    std::filesystem::path work_;
    EmulatorProcess* emulator_ = nullptr;
    Json initial_;
};

}  // namespace dm::test

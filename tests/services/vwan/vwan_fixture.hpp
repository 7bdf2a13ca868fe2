#pragma once
// An in-process emulator with the test's topology, the YAML context holding a credential for each
// of its subscriptions, and VWanMgmt's lines captured as "<level>: <message>".

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "emulator/emulator.hpp"
#include "platform/azure/network_client.hpp"
#include "services/common/common.hpp"
#include "services/common/yaml_context.hpp"
#include "services/context/globals.hpp"
#include "services/vwan/vwan_mgmt.hpp"
#include "support/log_capture.hpp"
#include "support/scoped.hpp"
#include "support/scoped_run.hpp"

namespace dm::testing {

class VWanFixture : public ::testing::Test {
  protected:
    void startCloud(emu::Json topology) {
        topology["service_principals"] = {
            {{"tenant", "t1"}, {"client_id", "c1"}, {"client_secret", "s"}}};
        emu::EmulatorOptions options;
        options.topology = topology;
        emulator_ = std::make_unique<emu::Emulator>(options);
        emulator_->start();
        Record subs = Record::array();
        for (const auto& sub : topology["subscriptions"]) {
            subs.push_back({{"subscription_id", sub["id"]},
                            {"tenant_id", "t1"},
                            {"client_id", "c1"},
                            {"client_secret_env", "DM_TEST_VWAN_SECRET"}});
        }
        Record doc = {{"azure",
                       {{"cloud", "custom"},
                        {"authority_host", emulator_->loginUrl()},
                        {"resource_manager", emulator_->armUrl()},
                        {"ca_bundle", emulator_->caFile()}}},
                      {"subscriptions", subs}};
        YamlContext().setSubscriptionMap(Common::getAzureSubscriptionInfo(doc));
        YamlContext().setGlobalContext(doc);
        takeLines();
    }
    void TearDown() override { log_.reset(); }

    ScopedRun run_;

    azure::NetworkManagementClient client(const std::string& subscriptionId) const {
        auto cred = YamlContext().generateAzureCredential(subscriptionId);
        return azure::NetworkManagementClient(cred->getCSC(), cred->getSubId());
    }

    // Lines logged since the previous call.
    std::vector<std::string> takeLines() {
        std::vector<std::string> out = log_ ? log_->lines() : std::vector<std::string>();
        log_.reset();  // first, so that the new capture registers the logger afresh
        log_ = std::make_unique<LogCapture>(std::vector<std::string>{VWanMgmt::LOGGER});
        return out;
    }

    ScopedEnv secret_{"DM_TEST_VWAN_SECRET", std::string("s")};
    std::unique_ptr<emu::Emulator> emulator_;
    std::unique_ptr<LogCapture> log_;
};

}  // namespace dm::testing

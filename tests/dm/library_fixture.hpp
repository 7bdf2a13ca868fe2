#pragma once
// Component-test fixture of the switch operations library: an in-process emulator holding the
// topology a test gives, the toolkit's YAML context wired to it, clients and credentials for its
// subscriptions, and the library's log lines captured as "<level>: <message>".

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/record.hpp"
#include "dm/arm/cutoverlib.hpp"
#include "dm/arm/library_log.hpp"
#include "emulator/emulator.hpp"
#include "platform/azure/network_client.hpp"
#include "services/common/common.hpp"
#include "services/common/yaml_context.hpp"
#include "services/context/globals.hpp"
#include "support/log_capture.hpp"
#include "support/scoped.hpp"
#include "support/scoped_run.hpp"

namespace dm::testing {

class LibraryFixture : public ::testing::Test {
  protected:
    static constexpr const char* kTenant = "72f988bf-0000-0000-0000-000000000001";
    static constexpr const char* kClientId = "c1a2b3c4-0000-0000-0000-00000000000a";
    static constexpr const char* kSecret = "emulator-secret-value";
    static constexpr const char* kSecretEnv = "DM_TEST_AZURE_CLIENT_SECRET";

    void TearDown() override {
        log_.reset();
        if (emulator_)
            emulator_->stop();
    }

    // Makes the test's run a dry run, or a real one again.
    void dryRun(bool on = true) { on ? run_.run.dryRun.activate() : run_.run.dryRun.deactivate(); }

    // Starts the emulator with `topology`; a principal that may use every subscription is added
    // when the topology names none. `credentialed` lists the subscriptions the discovery
    // document gives a credential (all of the topology's when empty).
    void startCloud(emu::Json topology, std::vector<std::string> credentialed = {},
                    int pageSize = 2) {
        if (!topology.contains("service_principals")) {
            topology["service_principals"] = emu::Json::array(
                {{{"tenant", kTenant}, {"client_id", kClientId}, {"client_secret", kSecret}}});
        }
        if (credentialed.empty() && topology.contains("subscriptions")) {
            for (const auto& sub : topology["subscriptions"])
                credentialed.push_back(sub["id"]);
        }
        emu::EmulatorOptions options;
        options.topology = topology;
        options.pageSize = pageSize;
        options.lroPolls = 1;
        emulator_ = std::make_unique<emu::Emulator>(options);
        emulator_->start();

        Record subscriptions = Record::array();
        for (const auto& id : credentialed) {
            subscriptions.push_back({{"subscription_id", id},
                                     {"alias", "alias-" + id.substr(0, 8)},
                                     {"tenant_id", kTenant},
                                     {"client_id", kClientId},
                                     {"client_secret_env", kSecretEnv}});
        }
        document_ = {{"document_type", "AZURE"},
                     {"azure",
                      {{"cloud", "custom"},
                       {"authority_host", emulator_->loginUrl()},
                       {"resource_manager", emulator_->armUrl()},
                       {"token_scope", "https://management.azure.com/.default"},
                       {"ca_bundle", emulator_->caFile()}}},
                     {"subscriptions", subscriptions},
                     {"switch_traffic", Record::object()}};
        YamlContext().setSubscriptionMap(Common::getAzureSubscriptionInfo(document_));
        YamlContext().setGlobalContext(document_);
        log_ = std::make_unique<LogCapture>(std::vector<std::string>{arm::kLibraryLoggerName});
    }

    // The credential of a subscription of the discovery document.
    AzureCredential credential(const std::string& subscriptionId) const {
        auto cred = YamlContext().generateAzureCredential(subscriptionId);
        if (!cred)
            throw std::runtime_error("no credential for " + subscriptionId);
        return *cred;
    }

    azure::NetworkManagementClient client(const std::string& subscriptionId) const {
        auto cred = credential(subscriptionId);
        return azure::NetworkManagementClient(cred.getCSC(), cred.getSubId());
    }

    // The VNet record as ARM returns it now.
    azure::VirtualNetwork vnet(const std::string& subscriptionId, const std::string& group,
                               const std::string& name) const {
        return client(subscriptionId).virtual_networks.get(group, name);
    }

    // Library lines logged so far, "<level>: <message>"; clears them when `clear`.
    std::vector<std::string> lines() const { return log_->lines(); }

    // The emulator's ordered log of state-changing requests.
    emu::Json writeLog() const { return emulator_->writeLog(); }

    emu::Emulator& cloud() { return *emulator_; }
    const Record& document() const { return document_; }

    ScopedRun run_;
    ScopedEnv secret_{kSecretEnv, std::string(kSecret)};
    std::unique_ptr<emu::Emulator> emulator_;
    std::unique_ptr<LogCapture> log_;
    Record document_;
};

}  // namespace dm::testing

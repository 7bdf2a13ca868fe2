#pragma once
// YamlContext: the toolkit's view of the run's discovery YAML (global options, subscriptions and
// their credentials). AzureCredential: one subscription's service principal.

#include <memory>
#include <optional>
#include <string>

#include "core/record.hpp"
#include "platform/azure/credential.hpp"
#include "platform/http/http.hpp"
#include "services/context/run_context.hpp"

namespace dm {

class AzureCredential {
  public:
    AzureCredential(std::string subscriptionId, std::string tenantId, std::string clientId,
                    std::string clientSecret, azure::AzureCloud cloud,
                    std::shared_ptr<http::Transport> transport = nullptr);

    // Token credential for the network management and Resource Graph clients. Made once per
    // (cloud, tenant, client) in the run, so every subscription of one principal shares its
    // tokens.
    std::shared_ptr<azure::TokenCredential> getCSC() const;
    // Token credential for the management-lock client; the same object as getCSC().
    std::shared_ptr<azure::TokenCredential> getSPC() const;
    const std::string& getSubId() const { return subscriptionId_; }

    const std::string& tenantId() const { return tenantId_; }
    const std::string& clientId() const { return clientId_; }
    const azure::AzureCloud& cloud() const { return cloud_; }

  private:
    std::string subscriptionId_;
    std::string tenantId_;
    std::string clientId_;
    std::string clientSecret_;  // never logged
    azure::AzureCloud cloud_;
    std::shared_ptr<http::Transport> transport_;
};

class YamlContext {
  public:
    // Every object is a view of the run installed on this thread.
    YamlContext() : run_(currentRun()) {}

    void setDryRun();
    bool isDryRun() const;

    // The subscription map of Common::getAzureSubscriptionInfo (subscription id → information).
    void setSubscriptionMap(const Record& subscriptionMap);
    const Record& getSubscriptionMap() const;

    // Keeps the document; its "switch_traffic" options become the global context.
    void setGlobalContext(const Record& doc);
    const Record& getDocument() const;

    // The global option `key` ("switch_traffic" → key), else its default (e.g. 0 for
    // "configure_shared_route_table_replication"), else JSON null.
    Record getGlobalContext(const std::string& key) const;

    // The credential of `subId`, or nullopt when the subscription map holds no service
    // principal for it. A principal whose secret cannot be read is a ConfigError naming the
    // subscription and the secret's source. The cloud comes from the document's "azure".
    std::optional<AzureCredential> generateAzureCredential(const std::string& subId) const;

    // The Azure cloud that the document's "azure" section names (public when unset); a bad
    // section is a ConfigError.
    azure::AzureCloud getCloud() const;

    // Transport handed to every token credential made afterwards (tests, emulator runs); null
    // takes the run's shared one. Either way it goes through the run's dry-run guard.
    void setTransport(std::shared_ptr<http::Transport> transport);

  private:
    RunContext& run_;
};

}  // namespace dm

#pragma once
// YamlContext: the toolkit's view of the run's discovery YAML (global options, subscriptions and
// their credentials). AzureCredential: one subscription's service principal.

#include <memory>
#include <optional>
#include <string>

#include "core/record.hpp"
#include "platform/azure/client_certificate.hpp"
#include "platform/azure/credential.hpp"
#include "platform/http/http.hpp"
#include "services/context/run_context.hpp"

namespace dm {

// The values of a `credential` key, in the order the documentation lists them.
inline constexpr const char* kCredentialKinds[] = {"client_secret",     "client_certificate",
                                                   "workload_identity", "managed_identity",
                                                   "azure_cli",         "default"};

// How one subscription signs in, as its discovery YAML entry (or the `azure` section) says.
struct CredentialSpec {
    // client_secret, client_certificate, workload_identity, managed_identity, azure_cli or
    // default (the chain).
    std::string kind = "client_secret";
    std::string tenantId;
    std::string clientId;      // empty: none named (managed identity: the system one)
    std::string clientSecret;  // client_secret; never logged
    std::optional<azure::ClientCertificate> certificate;  // client_certificate
    std::string federatedTokenFile;                       // workload_identity
    std::string metadataHost;  // managed identity service address; empty: the default
};

class AzureCredential {
  public:
    AzureCredential(std::string subscriptionId, std::string tenantId, std::string clientId,
                    std::string clientSecret, azure::AzureCloud cloud,
                    std::shared_ptr<http::Transport> transport = nullptr);
    AzureCredential(std::string subscriptionId, CredentialSpec spec, azure::AzureCloud cloud,
                    std::shared_ptr<http::Transport> transport = nullptr);

    // Token credential for the network management and Resource Graph clients. Made once per
    // principal in the run (for a client secret: per cloud, tenant and client), so every
    // subscription of one principal shares its tokens.
    std::shared_ptr<azure::TokenCredential> getCSC() const;
    // Token credential for the management-lock client; the same object as getCSC().
    std::shared_ptr<azure::TokenCredential> getSPC() const;
    const std::string& getSubId() const { return subscriptionId_; }

    const std::string& tenantId() const { return spec_.tenantId; }
    const std::string& clientId() const { return spec_.clientId; }
    const std::string& kind() const { return spec_.kind; }
    const azure::AzureCloud& cloud() const { return cloud_; }

  private:
    std::string subscriptionId_;
    CredentialSpec spec_;
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

    // The credential of `subId`, or nullopt when neither its subscription entry nor the
    // document's "azure" section names a credential or a client id. A credential whose secret,
    // certificate or token file cannot be read is a ConfigError naming the subscription and the
    // source. The cloud comes from the document's "azure".
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

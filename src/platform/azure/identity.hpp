#pragma once
// The token credentials beside the client secret: a client assertion (signed with a client
// certificate, or a federated token such as a Kubernetes workload identity's), a managed
// identity, the Azure CLI's login, and the default chain that tries them in the Azure SDKs'
// order. Each caches its tokens per scope as the client-secret credential does.

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/azure/client_certificate.hpp"
#include "platform/azure/credential.hpp"

namespace dm::azure {

// Where a client assertion comes from.
struct ClientAssertionCredentialOptions : CredentialSettings {
    std::string tenantId;
    std::string clientId;
    // A certificate signs a fresh JWT for every grant...
    std::optional<ClientCertificate> certificate;
    // ...or, without one, the file's content is the assertion, read anew for every grant
    // because its issuer rotates it.
    std::string federatedTokenFile;
};
std::shared_ptr<TokenCredential> makeClientAssertionCredential(
    ClientAssertionCredentialOptions options);

inline constexpr const char* kMetadataHost = "http://169.254.169.254";

struct ManagedIdentityCredentialOptions : CredentialSettings {
    // A user-assigned identity's client id; the system-assigned identity when empty.
    std::optional<std::string> clientId;
    // The instance metadata service: "<metadataHost>/metadata/identity/oauth2/token".
    std::string metadataHost = kMetadataHost;
    // An App Service style endpoint and its header value (IDENTITY_ENDPOINT, IDENTITY_HEADER);
    // used instead of the metadata service when set.
    std::optional<std::string> identityEndpoint;
    std::string identityHeader;  // never logged
};
// The endpoint not answering, or answering that there is no such identity, is a
// CredentialUnavailableError.
std::shared_ptr<TokenCredential> makeManagedIdentityCredential(
    ManagedIdentityCredentialOptions options);

// Reads an environment variable: nullopt when unset or empty.
using EnvironmentReader = std::function<std::optional<std::string>(const std::string&)>;

// The managed identity of this host as its environment describes it: IDENTITY_ENDPOINT and
// IDENTITY_HEADER when both are set, else the metadata service at `metadataHost`, else at
// AZURE_POD_IDENTITY_AUTHORITY_HOST, else at kMetadataHost. `environment`: the process's when
// empty.
ManagedIdentityCredentialOptions managedIdentityOptions(CredentialSettings settings,
                                                        std::optional<std::string> clientId,
                                                        const std::string& metadataHost,
                                                        const EnvironmentReader& environment = {});

struct AzureCliCredentialOptions : CredentialSettings {
    std::optional<std::string> tenantId;  // passed as --tenant when set
    std::chrono::milliseconds timeout{10'000};
    std::string program = "az";  // looked up on PATH
};
// Runs `az account get-access-token --resource <resource> -o json`. No az on PATH, no login in
// it, or no answer within the timeout is a CredentialUnavailableError.
std::shared_ptr<TokenCredential> makeAzureCliCredential(AzureCliCredentialOptions options);

struct DefaultCredentialOptions : CredentialSettings {
    // The process environment when empty.
    EnvironmentReader environment = {};
    // The instance metadata service's address; AZURE_POD_IDENTITY_AUTHORITY_HOST, else
    // kMetadataHost, when empty.
    std::string metadataHost;
    // Carries the managed identity requests: a short connect timeout and no retries, so that a
    // host without the metadata service is passed over quickly. `transport` when null.
    std::shared_ptr<http::Transport> probeTransport;
    std::chrono::milliseconds cliTimeout{10'000};
    std::string cliProgram = "az";
};
// The environment (AZURE_TENANT_ID, AZURE_CLIENT_ID and AZURE_CLIENT_SECRET or
// AZURE_CLIENT_CERTIFICATE_PATH [+ AZURE_CLIENT_CERTIFICATE_PASSWORD], AZURE_AUTHORITY_HOST),
// workload identity (AZURE_FEDERATED_TOKEN_FILE), managed identity (IDENTITY_ENDPOINT and
// IDENTITY_HEADER, else the metadata service), then the Azure CLI. Steps that are not
// configured or not available are passed over; the first that gives a token is kept for the
// credential's life. A step that is configured but refused ends the chain. The error then lists,
// in one line, every step and why it gave no token (or that it was not tried).
std::shared_ptr<TokenCredential> makeDefaultCredential(DefaultCredentialOptions options);

}  // namespace dm::azure

#pragma once
// Microsoft Entra client-credentials tokens for one service principal in one cloud.

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "platform/http/http.hpp"

namespace dm::azure {

// Endpoints of one Azure cloud (public, China, US Government, or custom such as the emulator).
struct AzureCloud {
    std::string name;                // "public", "china", "usgovernment", "custom"
    std::string authorityHost;       // e.g. "https://login.microsoftonline.com"
    std::string resourceManager;     // e.g. "https://management.azure.com"
    std::string tokenScope;          // e.g. "https://management.azure.com/.default"
    std::optional<std::string> caBundle;  // PEM file that verifies the endpoints' TLS peers

    static AzureCloud publicCloud();
    static AzureCloud chinaCloud();
    static AzureCloud usGovernmentCloud();
};

struct AccessToken {
    std::string token;
    std::chrono::system_clock::time_point expiresOn;
};

struct ClientSecretCredentialOptions {
    std::string tenantId;
    std::string clientId;
    std::string clientSecret;  // never logged
    AzureCloud cloud;
    // Shared by every client made from this credential so that connections are reused; when
    // null, the process-wide default transport for the cloud is used.
    std::shared_ptr<http::Transport> transport;
};

class TokenCredential {
public:
    virtual ~TokenCredential() = default;
    // A valid bearer token for `scope`, from the cache while it is not about to expire.
    virtual AccessToken getToken(const std::string& scope) = 0;
    virtual const AzureCloud& cloud() const = 0;
    virtual std::shared_ptr<http::Transport> transport() const = 0;
};

std::shared_ptr<TokenCredential> makeClientSecretCredential(ClientSecretCredentialOptions options);

}  // namespace dm::azure

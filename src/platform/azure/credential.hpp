#pragma once
// Microsoft Entra client-credentials tokens for one service principal in one cloud.

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/http/http.hpp"

namespace dm::azure {

// Endpoints of one Azure cloud (public, China, US Government, or custom such as the emulator).
struct AzureCloud {
    std::string name;                     // "public", "china", "usgovernment", "custom"
    std::string authorityHost;            // e.g. "https://login.microsoftonline.com"
    std::string resourceManager;          // e.g. "https://management.azure.com"
    std::string tokenScope;               // e.g. "https://management.azure.com/.default"
    std::optional<std::string> caBundle;  // PEM file that verifies the endpoints' TLS peers

    static AzureCloud publicCloud();
    static AzureCloud chinaCloud();
    static AzureCloud usGovernmentCloud();
};

struct AccessToken {
    std::string token;
    std::chrono::system_clock::time_point expiresOn;
};

// What every kind of token credential shares.
struct CredentialSettings {
    AzureCloud cloud;
    // Shared by every client made from this credential so that connections are reused; when
    // null, a default transport for the cloud is made.
    std::shared_ptr<http::Transport> transport;
    // Time source of the token cache; system_clock::now when empty.
    std::function<std::chrono::system_clock::time_point()> clock = {};
    // A cached token is renewed when less than this is left (or less than half its lifetime,
    // for short-lived tokens).
    std::chrono::seconds refreshWindow{300};
    // Told of every access token as it is obtained, and of every client assertion, federated
    // token or identity header before it is sent, so that the caller can keep them out of its
    // logs; none when empty.
    std::function<void(const std::string& secret)> onToken = {};
};

struct ClientSecretCredentialOptions : CredentialSettings {
    std::string tenantId;
    std::string clientId;
    std::string clientSecret;  // never logged
};

class TokenCredential {
  public:
    virtual ~TokenCredential() = default;
    // A valid bearer token for `scope`, from the cache while it is not about to expire.
    virtual AccessToken getToken(const std::string& scope) = 0;
    virtual const AzureCloud& cloud() const = 0;
    virtual std::shared_ptr<http::Transport> transport() const = 0;
    // Forgets the cached token for `scope` (ARM refused it), so the next getToken asks anew.
    virtual void invalidateToken(const std::string& scope) { (void)scope; }
};

// A credential for the client-credentials grant. Tokens are cached per scope in the credential,
// so callers keep one credential per service principal. getToken throws AuthenticationError
// (platform/azure/errors.hpp) when the grant is refused, and TransportError when the token endpoint
// cannot be reached.
std::shared_ptr<TokenCredential> makeClientSecretCredential(ClientSecretCredentialOptions options);

// A new retrying libcurl transport for a CA bundle (the system store when nullopt) with the
// default timeouts, for clients that were given none. A run shares one transport among its
// clients instead (see http::TransportPool).
std::shared_ptr<http::Transport> defaultTransport(const std::optional<std::string>& caBundle);

}  // namespace dm::azure

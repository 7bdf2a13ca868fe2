#pragma once
// The token cache and the token-endpoint grant that every credential kind builds on; not part
// of the Azure client's interface.

#include <map>
#include <mutex>
#include <string>

#include "core/secret_set.hpp"
#include "platform/azure/credential.hpp"

namespace dm::azure::detail {

// Keeps one token per scope and asks fetch() for a new one when it is about to expire. Safe to
// share between threads: fetch() runs for one caller at a time, and callers that wanted a token
// meanwhile get the one it brought.
class CachingCredential : public TokenCredential {
  public:
    explicit CachingCredential(CredentialSettings settings);

    AccessToken getToken(const std::string& scope) override;
    void invalidateToken(const std::string& scope) override;
    const AzureCloud& cloud() const override { return settings_.cloud; }
    std::shared_ptr<http::Transport> transport() const override { return settings_.transport; }

  protected:
    using SystemClock = std::chrono::system_clock;
    // A new token for `scope`; throws AuthenticationError (or CredentialUnavailableError) and
    // TransportError.
    virtual AccessToken fetch(const std::string& scope, SystemClock::time_point now) = 0;

    // Tells the settings' onToken of a value about to be sent or just obtained, and keeps it
    // for scrub().
    void noteSecret(const std::string& value);
    // Removes every value noted so far from a service text, in any form.
    std::string scrub(const std::string& text) const { return secrets_.mask(text); }

    CredentialSettings settings_;

  private:
    struct CachedToken {
        AccessToken token;
        SystemClock::time_point acquired;
    };
    bool needsRefresh(const CachedToken& cached, SystemClock::time_point now) const;

    SecretSet secrets_;
    std::mutex fetchMutex_;  // held across fetch(), so that one request serves every waiter
    std::mutex mutex_;       // guards tokens_
    std::map<std::string, CachedToken> tokens_;
};

// The resource of an Entra scope ("https://management.azure.com/.default" ->
// "https://management.azure.com"), as managed identity endpoints and the Azure CLI want it.
std::string scopeResource(const std::string& scope);

// The authority's token URL of a tenant: "<authorityHost>/<tenant>/oauth2/v2.0/token".
std::string tokenUrl(const std::string& authorityHost, const std::string& tenantId);

// A client-credentials grant at the token endpoint, `credentialFields` being the form fields
// that prove the client ("client_secret=..." or the client assertion's two fields). `scrub`
// removes the secrets from any error text.
AccessToken requestClientToken(const CredentialSettings& settings, const std::string& tenantId,
                               const std::string& clientId, const std::string& credentialFields,
                               const std::string& scope, std::chrono::system_clock::time_point now,
                               const std::function<std::string(const std::string&)>& scrub);

// expires_in of a token answer, as a number or as a string of digits.
std::optional<long long> lifetimeSeconds(const Record& body, const char* key);

}  // namespace dm::azure::detail

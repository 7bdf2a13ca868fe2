#include "platform/azure/credential.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <functional>

#include "core/error.hpp"
#include "core/json.hpp"
#include "core/secret_set.hpp"
#include "core/text.hpp"
#include "platform/azure/detail.hpp"
#include "platform/azure/errors.hpp"
#include "platform/azure/pipeline.hpp"
#include "platform/azure/token_cache.hpp"
#include "platform/http/curl_transport.hpp"
#include "platform/http/retry.hpp"

namespace dm::azure {

AzureCloud AzureCloud::publicCloud() {
    return {"public", "https://login.microsoftonline.com", "https://management.azure.com",
            "https://management.azure.com/.default", std::nullopt};
}

AzureCloud AzureCloud::chinaCloud() {
    return {"china", "https://login.chinacloudapi.cn", "https://management.chinacloudapi.cn",
            "https://management.chinacloudapi.cn/.default", std::nullopt};
}

AzureCloud AzureCloud::usGovernmentCloud() {
    return {"usgovernment", "https://login.microsoftonline.us",
            "https://management.usgovcloudapi.net", "https://management.usgovcloudapi.net/.default",
            std::nullopt};
}

namespace detail {

namespace {

using SystemClock = std::chrono::system_clock;

}  // namespace

// expires_in is a number on the v2.0 endpoint and a string on the legacy one and on managed
// identity endpoints.
std::optional<long long> lifetimeSeconds(const Record& body, const char* key) {
    auto it = body.find(key);
    if (it == body.end())
        return std::nullopt;
    if (it->is_number_integer())
        return it->get<long long>();
    if (it->is_number())
        return static_cast<long long>(it->get<double>());
    if (it->is_string()) {
        const std::string& s = it->get_ref<const std::string&>();
        if (!s.empty() && s.size() < 12 &&
            std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; })) {
            return std::stoll(s);
        }
    }
    return std::nullopt;
}

std::string scopeResource(const std::string& scope) {
    const std::string suffix = "/.default";
    if (scope.size() > suffix.size() &&
        scope.compare(scope.size() - suffix.size(), suffix.size(), suffix) == 0) {
        return scope.substr(0, scope.size() - suffix.size());
    }
    return scope;
}

std::string tokenUrl(const std::string& authorityHost, const std::string& tenantId) {
    return detail::trimSlashes(authorityHost) + "/" + encodeUriComponent(tenantId) +
           "/oauth2/v2.0/token";
}

CachingCredential::CachingCredential(CredentialSettings settings) : settings_(std::move(settings)) {
    if (!settings_.transport)
        settings_.transport = defaultTransport(settings_.cloud.caBundle);
}

AccessToken CachingCredential::getToken(const std::string& scope) {
    const auto now = settings_.clock ? settings_.clock() : SystemClock::now();
    {
        std::lock_guard lock(mutex_);
        auto it = tokens_.find(scope);
        if (it != tokens_.end() && !needsRefresh(it->second, now)) {
            return it->second.token;
        }
    }
    // One request at a time: callers that need a token at once wait for the one asked for
    // first and take it from the cache, instead of each asking the endpoint.
    std::lock_guard fetching(fetchMutex_);
    {
        std::lock_guard lock(mutex_);
        auto it = tokens_.find(scope);
        if (it != tokens_.end() && !needsRefresh(it->second, now))
            return it->second.token;
    }
    CachedToken fresh{fetch(scope, now), now};
    std::lock_guard lock(mutex_);
    tokens_[scope] = fresh;
    return fresh.token;
}

void CachingCredential::invalidateToken(const std::string& scope) {
    std::lock_guard lock(mutex_);
    tokens_.erase(scope);
}

void CachingCredential::noteSecret(const std::string& value) {
    secrets_.add(value);
    if (settings_.onToken)
        settings_.onToken(value);
}

// Renew before expiry: 5 minutes ahead, or half the lifetime for tokens shorter than that.
bool CachingCredential::needsRefresh(const CachedToken& cached, SystemClock::time_point now) const {
    auto lifetime = cached.token.expiresOn - cached.acquired;
    auto window = std::min<SystemClock::duration>(settings_.refreshWindow, lifetime / 2);
    return cached.token.expiresOn - now <= window;
}

AccessToken requestClientToken(const CredentialSettings& settings, const std::string& tenantId,
                               const std::string& clientId, const std::string& credentialFields,
                               const std::string& scope, SystemClock::time_point now,
                               const std::function<std::string(const std::string&)>& scrub) {
    const std::string who = fmt::format("tenant {}, client {}", tenantId, clientId);
    http::Request request;
    request.method = "POST";
    request.url = tokenUrl(settings.cloud.authorityHost, tenantId);
    request.headers = {{"Content-Type", "application/x-www-form-urlencoded"},
                       {"Accept", "application/json"},
                       {"x-ms-client-request-id", newRequestId()}};
    request.body = "grant_type=client_credentials&client_id=" + encodeUriComponent(clientId) + "&" +
                   credentialFields + "&scope=" + encodeUriComponent(scope);

    http::Response response = settings.transport->send(request);
    auto body = parseJsonObject(response.body);
    if (response.status != 200) {
        std::string reason;
        if (body) {
            std::string code = stringAt(*body, "error").value_or("");
            std::string description = stringAt(*body, "error_description").value_or("");
            reason = code.empty() ? description
                                  : (description.empty() ? code : code + ": " + description);
            if (auto trace = stringAt(*body, "trace_id")) {
                log()->debug("token request for {} refused; trace id {}", who, *trace);
            }
        }
        if (reason.empty())
            reason = fmt::format("status {}", response.status);
        throw AuthenticationError(
            scrub(fmt::format("Token request for {} failed: {}", who, reason)));
    }
    auto token = body ? stringAt(*body, "access_token") : std::nullopt;
    auto lifetime = body ? lifetimeSeconds(*body, "expires_in") : std::nullopt;
    if (!token || token->empty() || !lifetime) {
        throw AuthenticationError("Token request for " + who +
                                  " returned no access_token and expires_in");
    }
    if (settings.onToken)
        settings.onToken(*token);
    log()->debug("token for {} acquired for scope {}; expires in {} s", who, scope, *lifetime);
    return {*token, now + std::chrono::seconds(*lifetime)};
}

}  // namespace detail

namespace {

class ClientSecretCredential : public detail::CachingCredential {
  public:
    explicit ClientSecretCredential(ClientSecretCredentialOptions options)
        : CachingCredential(options),
          tenantId_(std::move(options.tenantId)),
          clientId_(std::move(options.clientId)),
          clientSecret_(std::move(options.clientSecret)) {
        noteSecret(clientSecret_);
    }

  protected:
    AccessToken fetch(const std::string& scope, SystemClock::time_point now) override {
        return detail::requestClientToken(
            settings_, tenantId_, clientId_, "client_secret=" + encodeUriComponent(clientSecret_),
            scope, now, [this](const std::string& text) { return scrub(text); });
    }

  private:
    std::string tenantId_;
    std::string clientId_;
    std::string clientSecret_;  // never logged
};

}  // namespace

std::shared_ptr<TokenCredential> makeClientSecretCredential(ClientSecretCredentialOptions options) {
    return std::make_shared<ClientSecretCredential>(std::move(options));
}

std::shared_ptr<http::Transport> defaultTransport(const std::optional<std::string>& caBundle) {
    http::CurlTransportOptions options;
    options.caBundle = caBundle;
    return std::make_shared<http::RetryingTransport>(http::makeCurlTransport(options));
}

}  // namespace dm::azure

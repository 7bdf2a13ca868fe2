#include "platform/azure/credential.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <functional>
#include <map>
#include <mutex>

#include "core/error.hpp"
#include "core/json.hpp"
#include "core/secret_set.hpp"
#include "core/text.hpp"
#include "platform/azure/detail.hpp"
#include "platform/azure/errors.hpp"
#include "platform/azure/pipeline.hpp"
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

namespace {

using SystemClock = std::chrono::system_clock;

struct CachedToken {
    AccessToken token;
    SystemClock::time_point acquired;
};

std::string trimSlashes(std::string text) {
    while (!text.empty() && text.back() == '/')
        text.pop_back();
    return text;
}

// expires_in is a number on the v2.0 endpoint and a string on the legacy one.
std::optional<long long> expiresIn(const Record& body) {
    auto it = body.find("expires_in");
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

class ClientSecretCredential : public TokenCredential {
  public:
    explicit ClientSecretCredential(ClientSecretCredentialOptions options)
        : options_(std::move(options)) {
        if (!options_.transport)
            options_.transport = defaultTransport(options_.cloud.caBundle);
        secret_.add(options_.clientSecret);
    }

    AccessToken getToken(const std::string& scope) override {
        const auto now = clock();
        {
            std::lock_guard lock(mutex_);
            auto it = tokens_.find(scope);
            if (it != tokens_.end() && !needsRefresh(it->second, now)) {
                return it->second.token;
            }
        }
        CachedToken fresh{requestToken(scope, now), now};
        std::lock_guard lock(mutex_);
        tokens_[scope] = fresh;
        return fresh.token;
    }

    void invalidateToken(const std::string& scope) override {
        std::lock_guard lock(mutex_);
        tokens_.erase(scope);
    }

    const AzureCloud& cloud() const override { return options_.cloud; }
    std::shared_ptr<http::Transport> transport() const override { return options_.transport; }

  private:
    SystemClock::time_point clock() const {
        return options_.clock ? options_.clock() : SystemClock::now();
    }

    // Renew before expiry: 5 minutes ahead, or half the lifetime for tokens shorter than that.
    bool needsRefresh(const CachedToken& cached, SystemClock::time_point now) const {
        auto lifetime = cached.token.expiresOn - cached.acquired;
        auto window = std::min<SystemClock::duration>(options_.refreshWindow, lifetime / 2);
        return cached.token.expiresOn - now <= window;
    }

    // Removes the secret from service text, in any form, in case an error echoes the request.
    std::string scrub(const std::string& text) const { return secret_.mask(text); }

    AccessToken requestToken(const std::string& scope, SystemClock::time_point now) const {
        const std::string who =
            fmt::format("tenant {}, client {}", options_.tenantId, options_.clientId);
        http::Request request;
        request.method = "POST";
        request.url = trimSlashes(options_.cloud.authorityHost) + "/" +
                      encodeUriComponent(options_.tenantId) + "/oauth2/v2.0/token";
        request.headers = {{"Content-Type", "application/x-www-form-urlencoded"},
                           {"Accept", "application/json"},
                           {"x-ms-client-request-id", newRequestId()}};
        request.body =
            "grant_type=client_credentials&client_id=" + encodeUriComponent(options_.clientId) +
            "&client_secret=" + encodeUriComponent(options_.clientSecret) +
            "&scope=" + encodeUriComponent(scope);

        http::Response response = options_.transport->send(request);
        auto body = parseJsonObject(response.body);
        if (response.status != 200) {
            std::string reason;
            if (body) {
                std::string code = detail::stringAt(*body, "error").value_or("");
                std::string description = detail::stringAt(*body, "error_description").value_or("");
                reason = code.empty() ? description
                                      : (description.empty() ? code : code + ": " + description);
                if (auto trace = detail::stringAt(*body, "trace_id")) {
                    detail::log()->debug("token request for {} refused; trace id {}", who, *trace);
                }
            }
            if (reason.empty())
                reason = fmt::format("status {}", response.status);
            throw AuthenticationError(
                scrub(fmt::format("Token request for {} failed: {}", who, reason)));
        }
        auto token = body ? detail::stringAt(*body, "access_token") : std::nullopt;
        auto lifetime = body ? expiresIn(*body) : std::nullopt;
        if (!token || token->empty() || !lifetime) {
            throw AuthenticationError("Token request for " + who +
                                      " returned no access_token and expires_in");
        }
        if (options_.onToken)
            options_.onToken(*token);
        detail::log()->debug("token for {} acquired for scope {}; expires in {} s", who, scope,
                             *lifetime);
        return {*token, now + std::chrono::seconds(*lifetime)};
    }

    ClientSecretCredentialOptions options_;
    SecretSet secret_;  // the client secret, for scrub()
    // Tokens by scope. Callers keep one credential per service principal for a run, so each
    // principal costs one grant per token lifetime.
    std::mutex mutex_;
    std::map<std::string, CachedToken> tokens_;
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

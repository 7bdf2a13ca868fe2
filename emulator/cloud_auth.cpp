// Who may call: the token endpoint that hands out bearer tokens (for a client secret, a
// certificate-signed or federated client assertion), the managed identity endpoints, the check
// of the token on every ARM call, and the subscriptions a principal may reach.

#include <algorithm>
#include <chrono>

#include "client_assertion.hpp"
#include "cloud_handler.hpp"
#include "cloud_internal.hpp"
#include "core/text.hpp"

namespace dm::emu {
namespace {

using dm::text::iequals;
using dm::text::startsWith;
using dm::text::toLower;
using Clock = std::chrono::system_clock;

Reply aadError(int status, const std::string& error, int code, const std::string& description) {
    const std::string trace = stableGuid(randomHex(16));
    return jsonReply(status, Json{{"error", error},
                                  {"error_description", "AADSTS" + std::to_string(code) + ": " +
                                                            description + " Trace ID: " + trace},
                                  {"error_codes", Json::array({code})},
                                  {"timestamp", nowIso()},
                                  {"trace_id", trace},
                                  {"correlation_id", stableGuid(randomHex(16))}});
}

constexpr const char* kAssertionType = "urn:ietf:params:oauth:client-assertion-type:jwt-bearer";

// An error of a managed identity endpoint: {"error", "error_description"}.
Reply identityError(int status, const std::string& error, const std::string& description) {
    return jsonReply(status, Json{{"error", error}, {"error_description", description}});
}

}  // namespace

std::optional<Reply> Handler::authenticate() {
    auto unauthorized = [](const std::string& code, const std::string& message) {
        Reply r = armError(401, code, message);
        r.headers.emplace_back("WWW-Authenticate",
                               "Bearer authorization_uri=\"https://127.0.0.1/\", "
                               "error=\"invalid_token\", error_description=\"" +
                                   message + "\"");
        return r;
    };
    if (c_.authorization.empty()) {
        return unauthorized("AuthenticationFailed",
                            "Authentication failed. The 'Authorization' header is missing.");
    }
    const std::string auth = dm::text::trim(c_.authorization);
    if (!startsWith(toLower(auth), "bearer ")) {
        return unauthorized("AuthenticationFailedInvalidHeader",
                            "Authentication failed. The 'Authorization' header is provided in an "
                            "invalid format.");
    }
    auto it = s_.tokens.find(dm::text::trim(auth.substr(7)));
    if (it == s_.tokens.end()) {
        return unauthorized("InvalidAuthenticationToken", "The access token is invalid.");
    }
    if (Clock::now() >= it->second.expiry) {
        return unauthorized("ExpiredAuthenticationToken",
                            "The access token expiry UTC time is earlier than current UTC time.");
    }
    for (const auto& p : s_.principals) {
        if (iequals(p.tenant, it->second.tenant) && p.clientId == it->second.clientId) {
            who_ = &p;
            return std::nullopt;
        }
    }
    return unauthorized("InvalidAuthenticationToken", "The access token is invalid.");
}

std::optional<Reply> Handler::checkSubscription(const std::string& subscription) {
    const std::string key = toLower(subscription);
    if (s_.subscriptions.count(key) == 0) {
        return armError(404, "SubscriptionNotFound",
                        "The subscription '" + subscription + "' could not be found.");
    }
    if (!who_->allSubscriptions && std::find(who_->subscriptions.begin(), who_->subscriptions.end(),
                                             key) == who_->subscriptions.end()) {
        return armError(403, "AuthorizationFailed",
                        "The client '" + who_->clientId + "' with object id '" + who_->clientId +
                            "' does not have authorization to perform action '" + c_.method +
                            "' over scope '/subscriptions/" + subscription +
                            "' or the scope is invalid. If access was recently granted, please "
                            "refresh your credentials.");
    }
    return std::nullopt;
}

Reply CloudModel::token(const std::string& tenant, const std::map<std::string, std::string>& form) {
    auto field = [&form](const char* name) {
        auto it = form.find(name);
        return it == form.end() ? std::string() : it->second;
    };
    if (field("grant_type") != "client_credentials") {
        return aadError(
            400, "unsupported_grant_type", 70003,
            "The app requested an unsupported grant type '" + field("grant_type") + "'.");
    }
    const std::string clientId = field("client_id");
    if (clientId.empty()) {
        return aadError(400, "invalid_request", 900144,
                        "The request body must contain the following parameter: 'client_id'.");
    }
    const Principal* tenantMatch = nullptr;
    const Principal* principal = nullptr;
    for (const auto& p : state_->principals) {
        if (iequals(p.tenant, tenant)) {
            tenantMatch = &p;
            if (p.clientId == clientId) {
                principal = &p;
            }
        }
    }
    if (tenantMatch == nullptr) {
        return aadError(400, "invalid_request", 90002,
                        "Tenant '" + tenant +
                            "' not found. Check to make sure you have the "
                            "correct tenant ID and are signing into the correct cloud.");
    }
    if (principal == nullptr) {
        return aadError(400, "unauthorized_client", 700016,
                        "Application with identifier '" + clientId +
                            "' was not found in the directory '" + tenant + "'.");
    }
    const std::string assertion = field("client_assertion");
    if (!assertion.empty()) {
        if (field("client_assertion_type") != kAssertionType) {
            return aadError(400, "invalid_request", 50027,
                            "client_assertion_type must be " + std::string(kAssertionType) + ".");
        }
        const auto& federated = principal->federatedTokens;
        if (std::find(federated.begin(), federated.end(), assertion) == federated.end()) {
            if (principal->certificate.empty()) {
                return aadError(401, "invalid_client", 700213,
                                "No matching federated identity record found for presented "
                                "assertion of app '" +
                                    clientId + "'.");
            }
            const std::string audience = baseUrl_ + "/" + tenant + "/oauth2/v2.0/token";
            if (auto problem = assertionProblem(assertion, principal->certificate, clientId,
                                                audience, Clock::now())) {
                return aadError(401, "invalid_client", 700027,
                                "Client assertion failed validation: " + *problem + ".");
            }
        }
    } else if (principal->secret.empty() || field("client_secret") != principal->secret) {
        return aadError(401, "invalid_client", 7000215,
                        "Invalid client secret provided. Ensure the secret being sent in the "
                        "request is the client secret value, not the client secret ID, for a "
                        "secret added to app '" +
                            clientId + "'.");
    }
    const std::string scope = field("scope");
    if (scope.empty() || !dm::text::endsWith(scope, "/.default")) {
        return aadError(400, "invalid_scope", 70011,
                        "The provided value for the input parameter 'scope' is not valid. The "
                        "scope " +
                            scope + " is not valid.");
    }
    const std::string token = issueToken(*principal);
    return jsonReply(200, Json{{"token_type", "Bearer"},
                               {"expires_in", principal->tokenLifetime},
                               {"ext_expires_in", principal->tokenLifetime},
                               {"access_token", token}});
}

std::string CloudModel::issueToken(const Principal& principal) {
    const std::string token = "emu." + randomHex(48);
    state_->tokens[token] = Token{principal.tenant, principal.clientId,
                                  Clock::now() + std::chrono::seconds(principal.tokenLifetime)};
    ++tokenGrants_;
    return token;
}

Reply CloudModel::identityToken(const IdentityCall& call) {
    auto query = [&call](const char* name) {
        auto it = call.query.find(name);
        return it == call.query.end() ? std::string() : it->second;
    };
    const bool appService = toLower(call.path).find("/metadata/") == std::string::npos;
    if (appService) {
        if (query("api-version") != "2019-08-01") {
            return identityError(400, "invalid_request", "api-version 2019-08-01 is required");
        }
    } else {
        if (!call.metadata || !iequals(*call.metadata, "true")) {
            return identityError(400, "invalid_request", "Required metadata header not specified");
        }
        if (query("api-version").empty()) {
            return identityError(400, "invalid_request",
                                 "Required query variable 'api-version' "
                                 "is missing");
        }
    }
    if (query("resource").empty()) {
        return identityError(400, "invalid_request",
                             "Required query variable 'resource' is missing");
    }
    const std::string clientId = query("client_id");
    const Principal* identity = nullptr;
    for (const auto& p : state_->principals) {
        if (p.managedIdentity && (clientId.empty() || p.clientId == clientId)) {
            identity = &p;
            break;
        }
    }
    if (identity == nullptr) {
        return identityError(400, "invalid_request", "Identity not found");
    }
    if (appService && (identity->identityHeader.empty() || !call.identityHeader ||
                       *call.identityHeader != identity->identityHeader)) {
        return identityError(401, "unauthorized", "The X-IDENTITY-HEADER is missing or wrong");
    }
    const std::string token = issueToken(*identity);
    const std::string expiresOn = std::to_string(
        std::chrono::duration_cast<std::chrono::seconds>(Clock::now().time_since_epoch()).count() +
        identity->tokenLifetime);
    Json body = {{"access_token", token},
                 {"expires_on", expiresOn},
                 {"resource", query("resource")},
                 {"token_type", "Bearer"}};
    if (appService) {
        body["client_id"] = identity->clientId;
    } else {
        body["expires_in"] = std::to_string(identity->tokenLifetime);
    }
    return jsonReply(200, body);
}

}  // namespace dm::emu

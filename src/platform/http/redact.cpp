#include "platform/http/redact.hpp"

#include <array>

#include "core/text.hpp"

namespace dm::http {
namespace {

struct UrlParts {
    std::string_view head;   // scheme://host[:port]/path, without user info
    std::string_view query;  // without the leading '?', empty when absent
    bool hasQuery = false;
    std::string_view scheme;  // "https://" or empty
};

UrlParts splitUrl(std::string_view url) {
    UrlParts parts;
    if (auto hash = url.find('#'); hash != std::string_view::npos)
        url = url.substr(0, hash);
    std::string_view rest = url;
    if (auto sep = url.find("://"); sep != std::string_view::npos) {
        parts.scheme = url.substr(0, sep + 3);
        rest = url.substr(sep + 3);
        // User info may hold a password; it sits before '@' within the authority.
        auto authorityEnd = rest.find_first_of("/?");
        auto at = rest.substr(0, authorityEnd).rfind('@');
        if (at != std::string_view::npos)
            rest = rest.substr(at + 1);
    }
    if (auto q = rest.find('?'); q != std::string_view::npos) {
        parts.head = rest.substr(0, q);
        parts.query = rest.substr(q + 1);
        parts.hasQuery = true;
    } else {
        parts.head = rest;
    }
    return parts;
}

bool containsAny(std::string_view lowered, std::initializer_list<std::string_view> needles) {
    for (auto needle : needles) {
        if (lowered.find(needle) != std::string_view::npos)
            return true;
    }
    return false;
}

bool isSecretParameter(std::string_view name) {
    const std::string lowered = text::toLower(name);
    static constexpr std::array<std::string_view, 13> exact = {
        "sig",  "cid",    "code",      "key",          "apikey",        "api_key",         "token",
        "pass", "passwd", "assertion", "access_token", "refresh_token", "client_assertion"};
    for (auto candidate : exact) {
        if (lowered == candidate)
            return true;
    }
    return text::startsWith(lowered, "x-amz-") || text::startsWith(lowered, "x-goog-") ||
           containsAny(lowered, {"secret", "password", "signature", "credential", "id_token"});
}

bool hasSecretParameter(std::string_view query) {
    for (const auto& pair : text::split(query, '&')) {
        std::string_view name = pair;
        if (auto eq = name.find('='); eq != std::string_view::npos)
            name = name.substr(0, eq);
        if (isSecretParameter(name))
            return true;
    }
    return false;
}

}  // namespace

std::string redactUrl(std::string_view url) {
    const UrlParts parts = splitUrl(url);
    std::string out{parts.scheme};
    out += parts.head;
    if (parts.hasQuery) {
        out += '?';
        if (hasSecretParameter(parts.query)) {
            out += kRedacted;
        } else {
            out += parts.query;
        }
    }
    return out;
}

std::string urlWithoutQuery(std::string_view url) {
    const UrlParts parts = splitUrl(url);
    return std::string{parts.scheme} + std::string{parts.head};
}

std::string redactHeader(std::string_view name, std::string_view value) {
    const std::string lowered = text::toLower(name);
    if (lowered == "cookie" || lowered == "set-cookie" ||
        containsAny(lowered, {"authorization", "secret", "password", "token", "signature",
                              "credential", "key"})) {
        return std::string{kRedacted};
    }
    return std::string{value};
}

}  // namespace dm::http

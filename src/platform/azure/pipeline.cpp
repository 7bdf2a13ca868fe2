#include "platform/azure/pipeline.hpp"

#include <algorithm>
#include <cctype>
#include <iterator>
#include <random>
#include <set>
#include <thread>

#include "core/log.hpp"
#include "core/text.hpp"
#include "platform/azure/detail.hpp"
#include "platform/azure/errors.hpp"

namespace dm::azure {

namespace detail {

std::shared_ptr<spdlog::logger> log() {
    return namedLogger("dm.azure");
}

std::optional<std::string> stringAt(const Record& object, const char* key) {
    if (!object.is_object())
        return std::nullopt;
    auto it = object.find(key);
    if (it == object.end() || !it->is_string())
        return std::nullopt;
    return it->get<std::string>();
}

std::string withoutQuery(const std::string& url) {
    return url.substr(0, url.find('?'));
}

std::string trimSlashes(std::string text) {
    while (!text.empty() && text.back() == '/')
        text.pop_back();
    return text;
}

}  // namespace detail

std::string encodeUriComponent(const std::string& text) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 0x0F];
        }
    }
    return out;
}

std::string newRequestId() {
    static thread_local std::mt19937_64 engine{std::random_device{}()};
    std::uniform_int_distribution<unsigned> byte(0, 255);
    unsigned char b[16];
    for (auto& x : b)
        x = static_cast<unsigned char>(byte(engine));
    b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);  // version 4
    b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);  // RFC 4122 variant
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            out += '-';
        out += hex[b[i] >> 4];
        out += hex[b[i] & 0x0F];
    }
    return out;
}

ArmPipeline::ArmPipeline(std::shared_ptr<TokenCredential> credential, ArmClientOptions options)
    : credential_(std::move(credential)), options_(std::move(options)) {
    if (!credential_)
        throw Error("an Azure client needs a credential");
    transport_ = options_.transport ? options_.transport : credential_->transport();
    if (!transport_)
        transport_ = defaultTransport(credential_->cloud().caBundle);
    endpoint_ =
        detail::trimSlashes(options_.endpoint.value_or(credential_->cloud().resourceManager));
}

std::string ArmPipeline::url(const std::string& path, const std::string& apiVersion,
                             const std::string& extraQuery) const {
    std::string out = endpoint_ + path + "?api-version=" + apiVersion;
    if (!extraQuery.empty())
        out += "&" + extraQuery;
    return out;
}

std::chrono::steady_clock::time_point ArmPipeline::now() const {
    return options_.clock ? options_.clock() : std::chrono::steady_clock::now();
}

void ArmPipeline::sleep(std::chrono::milliseconds delay) const {
    if (options_.sleep) {
        options_.sleep(delay);
    } else if (delay.count() > 0) {
        std::this_thread::sleep_for(delay);
    }
}

http::Response ArmPipeline::send(const std::string& method, const std::string& url,
                                 const std::optional<Record>& body,
                                 std::initializer_list<int> accepted, const std::string& resourceId,
                                 const std::string& clientRequestId,
                                 std::optional<bool> idempotent) const {
    const std::string requestId = clientRequestId.empty() ? newRequestId() : clientRequestId;
    std::string scope = credential_->cloud().tokenScope;
    if (scope.empty())
        scope = credential_->cloud().resourceManager + "/.default";
    const bool accepts401 = std::find(accepted.begin(), accepted.end(), 401) != accepted.end();

    http::Request request;
    request.method = method;
    request.url = url;
    request.idempotent = idempotent;
    if (body)
        request.body = body->dump();
    for (int attempt = 0;; ++attempt) {
        request.headers = {
            {"Authorization", "Bearer " + credential_->getToken(scope).token},
            {"Accept", "application/json"},
            {"x-ms-client-request-id", requestId},
            {"User-Agent", options_.userAgent},
        };
        if (body)
            request.headers.emplace_back("Content-Type", "application/json");
        http::Response response = transport_->send(request);
        if (std::find(accepted.begin(), accepted.end(), response.status) != accepted.end()) {
            return response;
        }
        // An expired or revoked token: ask for a new one and replay once.
        if (response.status == 401 && !accepts401 && attempt == 0) {
            detail::log()->debug("{} {} answered 401; renewing the token", method,
                                 detail::withoutQuery(url));
            credential_->invalidateToken(scope);
            continue;
        }
        detail::log()->debug("{} {} refused with {} (x-ms-request-id {}, client request id {})",
                             method, detail::withoutQuery(url), response.status,
                             response.header("x-ms-request-id").value_or("-"), requestId);
        throwArmError(response, method, resourceId);
    }
}

std::vector<JsonListItem> ArmPipeline::listItems(const std::string& url,
                                                 const std::string& resourceId) const {
    std::string apiVersion;
    if (auto at = url.find("api-version="); at != std::string::npos) {
        apiVersion = url.substr(at, url.find('&', at) - at);
    }
    std::vector<JsonListItem> items;
    std::set<std::string> seen;
    std::string next = url;
    while (!next.empty()) {
        if (!seen.insert(next).second) {
            throw Error("the listing of " + resourceId + " repeats the page " +
                        detail::withoutQuery(next));
        }
        http::Response response = send("GET", next, std::nullopt, {200}, resourceId);
        auto page = parseJsonListPage(response.body, "value", "nextLink");
        if (!page) {
            throw Error("unreadable list page from GET " + detail::withoutQuery(next) +
                        " (status " + std::to_string(response.status) + ")");
        }
        std::move(page->items.begin(), page->items.end(), std::back_inserter(items));
        next = page->next.value_or("");
        // ARM's nextLink normally carries the api-version; when it does not, reuse ours.
        if (!next.empty() && !apiVersion.empty() &&
            next.find("api-version=") == std::string::npos) {
            next += (next.find('?') == std::string::npos ? "?" : "&") + apiVersion;
        }
    }
    return items;
}

std::vector<Record> ArmPipeline::listAll(const std::string& url,
                                         const std::string& resourceId) const {
    std::vector<Record> records;
    for (const auto& item : listItems(url, resourceId))
        records.push_back(item.toRecord());
    return records;
}

bool isReadOnlyRequest(const http::Request& request) {
    if (request.method == "GET" || request.method == "HEAD")
        return true;
    if (request.method != "POST")
        return false;
    const std::string path = request.url.substr(0, request.url.find('?'));
    auto endsWith = [&path](std::string_view suffix) {
        return path.size() >= suffix.size() &&
               path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0;
    };
    return endsWith("/oauth2/v2.0/token") || endsWith("/oauth2/token") ||
           endsWith("/providers/Microsoft.ResourceGraph/resources");
}

}  // namespace dm::azure

#pragma once
// The one place where ARM requests are made: URL and api-version, bearer token, request id and
// content type, the send through the credential's (retrying) transport, and the mapping of
// refused statuses to ArmError.

#include <chrono>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/json.hpp"
#include "core/record.hpp"
#include "platform/azure/credential.hpp"
#include "platform/http/http.hpp"
#include "platform/http/retry.hpp"

namespace dm::azure {

// One api-version per provider; pinned on purpose so every call reads the same shapes.
inline constexpr const char* kNetworkApiVersion = "2024-05-01";
inline constexpr const char* kLocksApiVersion = "2020-05-01";
inline constexpr const char* kResourceGraphApiVersion = "2021-03-01";

// Knobs of the clients, mostly for tests; the defaults suit a real run.
struct ArmClientOptions {
    // Overrides the credential's transport (which is what the clients use by default).
    std::shared_ptr<http::Transport> transport = nullptr;
    // Overrides the cloud's resourceManager endpoint.
    std::optional<std::string> endpoint = std::nullopt;
    std::function<std::chrono::steady_clock::time_point()> clock = {};  // steady_clock::now
    std::function<void(std::chrono::milliseconds)> sleep = {};          // this_thread::sleep_for
    // Wait between LRO polls when the service sends no Retry-After.
    std::chrono::milliseconds pollInterval{std::chrono::seconds(10)};
    // Upper bound for a Retry-After between LRO polls.
    std::chrono::milliseconds maxPollDelay{std::chrono::seconds(120)};
    // A long-running operation still running after this long raises LroTimeoutError.
    std::chrono::milliseconds lroDeadline{std::chrono::minutes(30)};
    // A PUT or DELETE whose operation ends Failed with a transient code is sent again: at most
    // this many sends in all, waiting the transport's back-off from operationRetryDelay, all
    // within lroDeadline. The transport's own budget, so a write gets no more tries than a read.
    int operationAttempts = http::RetryOptions{}.maxAttempts;
    std::chrono::milliseconds operationRetryDelay = http::RetryOptions{}.baseDelay;
    std::string userAgent = "dm.arm.switch_traffic";
};

// Percent-encodes one path segment or form value: everything but RFC 3986 unreserved bytes.
std::string encodeUriComponent(const std::string& text);

// A fresh random (version 4) UUID in its 36-character text form.
std::string newRequestId();

// True for the requests that change nothing in Azure: GET and HEAD, token grants and Resource
// Graph queries (POSTs that only read). The dry-run guard sends only these.
bool isReadOnlyRequest(const http::Request& request);

class ArmPipeline {
  public:
    // Throws dm::Error when the credential is null.
    ArmPipeline(std::shared_ptr<TokenCredential> credential, ArmClientOptions options = {});

    // endpoint + path + "?api-version=" + version (+ "&" + extraQuery when given).
    std::string url(const std::string& path, const std::string& apiVersion,
                    const std::string& extraQuery = "") const;

    // Sends one request with the ARM headers and returns the response when its status is in
    // `accepted`; otherwise throws the ArmError for it (a 401 first drops the cached token and
    // replays once). A transport failure after the transport's retries throws TransportError.
    // `idempotent` marks a POST that only reads, so the retry policy may repeat it.
    http::Response send(const std::string& method, const std::string& url,
                        const std::optional<Record>& body, std::initializer_list<int> accepted,
                        const std::string& resourceId, const std::string& clientRequestId = "",
                        std::optional<bool> idempotent = std::nullopt) const;

    // GET of a list: follows nextLink until it is absent and returns the items of every page
    // in order (an empty page with a nextLink does not end the list).
    std::vector<Record> listAll(const std::string& url, const std::string& resourceId) const;
    // As listAll, with the items left in the list page's compact form (see core/json.hpp).
    std::vector<JsonListItem> listItems(const std::string& url,
                                        const std::string& resourceId) const;

    const ArmClientOptions& options() const { return options_; }
    std::chrono::steady_clock::time_point now() const;
    void sleep(std::chrono::milliseconds delay) const;
    const std::string& endpoint() const { return endpoint_; }

  private:
    std::shared_ptr<TokenCredential> credential_;
    std::shared_ptr<http::Transport> transport_;
    ArmClientOptions options_;
    std::string endpoint_;
};

}  // namespace dm::azure

#pragma once
// The one retry policy under every client: which failures to retry, how long to wait, when to
// stop.

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

#include "platform/http/http.hpp"

namespace dm::http {

struct RetryOptions {
    using Clock = std::chrono::steady_clock;
    using WallClock = std::chrono::system_clock;

    int maxAttempts = 5;  // counting the first
    std::chrono::milliseconds baseDelay{800};
    std::chrono::milliseconds maxDelay{60'000};            // cap of the computed backoff
    std::chrono::milliseconds maxServerDelay{120'000};     // cap of a server's Retry-After
    std::chrono::milliseconds deadline{300'000};           // budget from the first attempt
    std::function<Clock::time_point()> clock;              // steady_clock::now when empty
    std::function<WallClock::time_point()> wallClock;      // for HTTP-date Retry-After values
    std::function<void(std::chrono::milliseconds)> sleep;  // this_thread::sleep_for when empty
    std::function<double()> jitter;  // uniform in [0, 1); a random source when empty
};

// Whether the response is worth sending again: 408, 429, 500, 502, 503, 504 and ARM's transient
// refusals (409 AnotherOperationInProgress, 400 ReferencedResourceNotProvisioned) for idempotent
// requests; only 408, 429 and 503 for the others. Never throws, whatever the body holds.
bool shouldRetry(const Request& request, const Response& response);

// Whether a request that got no response is worth sending again: never after a TLS trust
// failure; always when idempotent or when a kept-alive connection closed unanswered; otherwise
// only when the failure came before the request was sent.
bool shouldRetry(const Request& request, const TransportError& error);

// The server's wait hint: retry-after-ms, then x-ms-retry-after-ms, then Retry-After in seconds
// or as an HTTP date (a past date gives zero); nullopt when absent or unreadable.
std::optional<std::chrono::milliseconds> serverRetryDelay(const Response& response,
                                                          RetryOptions::WallClock::time_point now);

// The wait before attempt `attempt` (2 for the first retry) when the server gave no hint:
// baseDelay * 2^(attempt-1), scaled by 0.8 + 0.4 * jitter, capped at maxDelay.
std::chrono::milliseconds backoffDelay(const RetryOptions& options, int attempt, double jitter);

// Uniform in [0, 1), from a per-thread random source.
double randomJitter();

// Sends through the inner transport and retries per the policy above, logging each retry at
// warning level on "dm.http". Gives up after maxAttempts, or when the next wait would cross the
// deadline, by returning the last response or rethrowing the last TransportError.
class RetryingTransport : public Transport {
  public:
    RetryingTransport(std::shared_ptr<Transport> inner, RetryOptions options = {});
    Response send(const Request& request) override;

  private:
    std::shared_ptr<Transport> inner_;
    RetryOptions options_;
};

}  // namespace dm::http

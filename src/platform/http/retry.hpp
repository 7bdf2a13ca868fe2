#pragma once
// The one retry policy under every client: which failures to retry, how long to wait, when to
// stop.

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

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

// Whether the response says the server is throttling its callers or busy with another
// operation: 429, ARM's AnotherOperationInProgress or RetryableError code.
bool isThrottle(const Response& response);

// Sends through the inner transport and retries per the policy above, logging each retry at
// warning level on "dm.http". Gives up after maxAttempts, or when the next wait would cross the
// deadline, by returning the last response or rethrowing the last TransportError.
//
// Sends from several threads share one back-off gate: when a throttle (see isThrottle) is to be
// retried, its wait also holds every other send through this object, from its next attempt on,
// until that wait has passed (the gate only moves later, so another thread's success does not
// reopen it). A throttled run thus slows down as a whole instead of each thread keeping up its
// pace. The thread that set the gate waits only its own retry wait, so one thread alone waits and
// sends exactly as without the gate. Waits at the gate use the options' clock and sleep, are
// logged at debug level and, like the retry waits, use up the waiting request's deadline.
class RetryingTransport : public Transport {
  public:
    RetryingTransport(std::shared_ptr<Transport> inner, RetryOptions options = {});
    Response send(const Request& request) override;

  private:
    // Waits while the gate is closed by another thread's throttle.
    void waitForGate(const Request& request);
    // Closes the gate until `until` unless it is closed until later already.
    void closeGate(RetryOptions::Clock::time_point until);

    std::shared_ptr<Transport> inner_;
    RetryOptions options_;
    std::mutex gateMutex_;
    RetryOptions::Clock::time_point gateOpensAt_{};  // sends wait until then
    std::thread::id gateClosedBy_{};                 // the thread whose wait set gateOpensAt_
};

}  // namespace dm::http

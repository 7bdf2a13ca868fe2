#include "platform/http/retry.hpp"

#include <curl/curl.h>
#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <exception>
#include <limits>
#include <nlohmann/json.hpp>
#include <random>
#include <string_view>
#include <thread>
#include <vector>

#include "core/text.hpp"
#include "platform/http/log.hpp"
#include "platform/http/redact.hpp"

namespace dm::http {
namespace {

using std::chrono::milliseconds;

// The ARM error code of a body like {"error": {"code": ..., "details": [{"code": ...}]}} and
// those of its details, top level first; empty for anything else.
std::vector<std::string> armErrorCodes(const std::string& body) noexcept {
    std::vector<std::string> codes;
    try {
        const auto json = nlohmann::json::parse(body, nullptr, false);
        if (!json.is_object())
            return codes;
        const auto error = json.find("error");
        if (error == json.end() || !error->is_object())
            return codes;
        if (auto code = error->find("code"); code != error->end() && code->is_string()) {
            codes.push_back(code->get<std::string>());
        }
        const auto details = error->find("details");
        if (details == error->end() || !details->is_array())
            return codes;
        for (const auto& detail : *details) {
            if (!detail.is_object())
                continue;
            if (auto code = detail.find("code"); code != detail.end() && code->is_string()) {
                codes.push_back(code->get<std::string>());
            }
        }
    } catch (...) {
        // Classification must never fail; an unreadable body just carries no code.
    }
    return codes;
}

bool hasArmCode(const Response& response, std::string_view wanted) {
    for (const auto& code : armErrorCodes(response.body)) {
        if (text::iequals(code, wanted))
            return true;
    }
    return false;
}

std::optional<long long> parseNonNegative(std::string_view digits) {
    if (digits.empty())
        return std::nullopt;
    long long value = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (ec == std::errc::result_out_of_range)
        return std::numeric_limits<long long>::max();
    if (ec != std::errc() || end != digits.data() + digits.size() || value < 0) {
        return std::nullopt;
    }
    return value;
}

std::string seconds(milliseconds delay) {
    return fmt::format("{:.1f} s", static_cast<double>(delay.count()) / 1000.0);
}

}  // namespace

bool shouldRetry(const Request& request, const Response& response) {
    const int status = response.status;
    if (!isIdempotent(request)) {
        // The server did not act on these, so even a POST can go again.
        return status == 408 || status == 429 || status == 503;
    }
    switch (status) {
        case 408:
        case 429:
        case 500:
        case 502:
        case 503:
        case 504:
            return true;
        case 409:
            return hasArmCode(response, "AnotherOperationInProgress");
        case 400:
            return hasArmCode(response, "ReferencedResourceNotProvisioned");
        default:
            return false;
    }
}

bool shouldRetry(const Request& request, const TransportError& error) {
    switch (error.failure()) {
        case TransportFailure::UntrustedPeer:
            return false;
        case TransportFailure::ClosedUnanswered:
            return true;
        default:
            return isIdempotent(request) || !error.requestSent();
    }
}

bool isThrottle(const Response& response) {
    if (response.status == 429)
        return true;
    for (const auto& code : armErrorCodes(response.body)) {
        if (text::iequals(code, "AnotherOperationInProgress") ||
            text::iequals(code, "RetryableError")) {
            return true;
        }
    }
    return false;
}

double randomJitter() {
    thread_local std::mt19937_64 engine{std::random_device{}()};
    return std::uniform_real_distribution<double>(0.0, 1.0)(engine);
}

std::optional<milliseconds> serverRetryDelay(const Response& response,
                                             RetryOptions::WallClock::time_point now) {
    constexpr long long kMaxSeconds = 10LL * 365 * 24 * 3600;  // keeps the arithmetic in range
    for (const char* name : {"retry-after-ms", "x-ms-retry-after-ms"}) {
        if (auto value = response.header(name)) {
            if (auto ms = parseNonNegative(text::trim(*value))) {
                return milliseconds(std::min(*ms, kMaxSeconds * 1000));
            }
        }
    }
    const auto value = response.header("Retry-After");
    if (!value)
        return std::nullopt;
    const std::string trimmed = text::trim(*value);
    if (auto secs = parseNonNegative(trimmed)) {
        return milliseconds(std::min(*secs, kMaxSeconds) * 1000);
    }
    const time_t when = curl_getdate(trimmed.c_str(), nullptr);
    if (when == -1)
        return std::nullopt;
    // In seconds first: a date centuries away would overflow the clock's nanosecond count.
    const time_t nowSeconds = RetryOptions::WallClock::to_time_t(now);
    if (when < nowSeconds)
        return milliseconds(0);
    if (when - nowSeconds > kMaxSeconds)
        return milliseconds(kMaxSeconds * 1000);
    const auto wait =
        std::chrono::duration_cast<milliseconds>(RetryOptions::WallClock::from_time_t(when) - now);
    return std::max(wait, milliseconds(0));
}

milliseconds backoffDelay(const RetryOptions& options, int attempt, double jitter) {
    const double cap = static_cast<double>(options.maxDelay.count());
    const int exponent = std::clamp(attempt - 1, 0, 62);
    const double exponential =
        std::min(cap, static_cast<double>(options.baseDelay.count()) * std::ldexp(1.0, exponent));
    const double factor = 0.8 + 0.4 * std::clamp(jitter, 0.0, 1.0);
    return milliseconds(static_cast<long long>(std::min(cap, exponential * factor)));
}

RetryingTransport::RetryingTransport(std::shared_ptr<Transport> inner, RetryOptions options)
    : inner_(std::move(inner)), options_(std::move(options)) {
    if (!options_.clock)
        options_.clock = [] { return RetryOptions::Clock::now(); };
    if (!options_.wallClock)
        options_.wallClock = [] { return RetryOptions::WallClock::now(); };
    if (!options_.sleep)
        options_.sleep = [](milliseconds d) { std::this_thread::sleep_for(d); };
    if (!options_.jitter)
        options_.jitter = randomJitter;
    options_.maxAttempts = std::max(options_.maxAttempts, 1);
}

void RetryingTransport::waitForGate(const Request& request) {
    std::optional<RetryOptions::Clock::time_point> waited;
    for (;;) {
        RetryOptions::Clock::time_point opensAt;
        {
            std::lock_guard lock(gateMutex_);
            // Never closed; or closed by this thread, which waits that as its own retry (and
            // nobody has closed it for longer since).
            if (gateClosedBy_ == std::thread::id() || gateClosedBy_ == std::this_thread::get_id()) {
                return;
            }
            opensAt = gateOpensAt_;
        }
        // Waited until then already: a clock that sleeping does not move must not hold forever.
        if (waited && opensAt <= *waited)
            return;
        const auto now = options_.clock();
        if (opensAt <= now)
            return;
        const auto delay = std::chrono::ceil<milliseconds>(opensAt - now);
        httpLogger()->debug("Holding {} {} for {}: another request of this run was throttled",
                            request.method, urlWithoutQuery(request.url), seconds(delay));
        options_.sleep(delay);
        waited = opensAt;
    }
}

void RetryingTransport::closeGate(RetryOptions::Clock::time_point until) {
    std::lock_guard lock(gateMutex_);
    if (until > gateOpensAt_) {
        gateOpensAt_ = until;
        gateClosedBy_ = std::this_thread::get_id();
    }
}

// Each attempt ends in one of three ways:
//   success or a failure not worth retrying -> returned (or rethrown) at once;
//   a retryable failure on the last allowed attempt -> returned (or rethrown) as is;
//   a retryable failure otherwise -> wait (server hint capped, else backoff) and go again,
//     unless that wait would end past the deadline, which also returns the failure as is.
Response RetryingTransport::send(const Request& request) {
    const auto deadline = options_.clock() + options_.deadline;
    for (int attempt = 1;; ++attempt) {
        const bool lastAttempt = attempt >= options_.maxAttempts;
        std::optional<Response> response;
        std::exception_ptr failure;
        std::string reason;
        waitForGate(request);
        try {
            response = inner_->send(request);
        } catch (const TransportError& error) {
            if (lastAttempt || !shouldRetry(request, error))
                throw;
            failure = std::current_exception();
            reason = fmt::format("transport error ({})", error.what());
        }

        milliseconds delay{0};
        bool throttled = false;
        if (response) {
            if (lastAttempt || !shouldRetry(request, *response))
                return std::move(*response);
            throttled = isThrottle(*response);
            reason = std::to_string(response->status);
            if (auto codes = armErrorCodes(response->body); !codes.empty()) {
                reason += " " + codes.front();
            }
            if (auto hint = serverRetryDelay(*response, options_.wallClock())) {
                delay = std::min(*hint, options_.maxServerDelay);
            } else {
                delay = backoffDelay(options_, attempt + 1, options_.jitter());
            }
        } else {
            delay = backoffDelay(options_, attempt + 1, options_.jitter());
        }

        const auto log = httpLogger();
        const std::string url = urlWithoutQuery(request.url);
        const auto now = options_.clock();
        if (now + delay > deadline) {
            log->warn("Giving up on {} {} after {}: waiting {} more would pass the deadline",
                      request.method, url, reason, seconds(delay));
            if (failure)
                std::rethrow_exception(failure);
            return std::move(*response);
        }
        if (throttled)
            closeGate(now + delay);
        log->warn("Retrying {} {} after {} (attempt {} of {}, waiting {})", request.method, url,
                  reason, attempt + 1, options_.maxAttempts, seconds(delay));
        options_.sleep(delay);
    }
}

}  // namespace dm::http

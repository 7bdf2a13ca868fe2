#include "platform/azure/poller.hpp"

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <algorithm>

#include "core/json.hpp"
#include "core/text.hpp"
#include "platform/azure/detail.hpp"
#include "platform/azure/errors.hpp"
#include "platform/http/retry.hpp"

namespace dm::azure {

namespace {

bool isTerminal(const std::string& status) {
    return text::iequals(status, "Succeeded") || text::iequals(status, "Failed") ||
           text::iequals(status, "Canceled");
}

bool isFailure(const std::string& status) {
    return text::iequals(status, "Failed") || text::iequals(status, "Canceled");
}

std::optional<std::string> provisioningState(const std::optional<Record>& body) {
    if (!body)
        return std::nullopt;
    auto props = body->find("properties");
    if (props == body->end())
        return std::nullopt;
    return detail::stringAt(*props, "provisioningState");
}

}  // namespace

LroOperation::LroOperation(std::shared_ptr<const ArmPipeline> pipeline, std::string method,
                           std::string url, std::optional<Record> body, std::string resourceId)
    : pipeline_(std::move(pipeline)),
      method_(std::move(method)),
      url_(std::move(url)),
      resourceId_(std::move(resourceId)),
      body_(std::move(body)),
      clientRequestId_(newRequestId()) {
    start();
    started_ = pipeline_->now();
}

void LroOperation::start() {
    // A send again keeps the client request id: it is the same request, and one id finds all
    // of its attempts in the service's logs.
    initial_ =
        pipeline_->send(method_, url_, body_, {200, 201, 202, 204}, resourceId_, clientRequestId_);
    received(initial_);
    last_ = initial_;
    done_ = false;
    pollUrl_.clear();
    resource_.reset();
    failure_.reset();

    const bool isPut = method_ == "PUT";
    auto initialBody = parseJsonObject(initial_.body);
    auto state = provisioningState(initialBody);
    if (isPut && initialBody)
        resource_ = initialBody;

    if (initial_.status == 204) {
        mode_ = Mode::Done;
        status_ = "Succeeded";
    } else if ((initial_.status == 200 || initial_.status == 201) && state && isTerminal(*state)) {
        mode_ = Mode::Done;
        status_ = *state;
        if (isFailure(*state))
            failure_ = initialBody;
    } else if (auto async = initial_.header("Azure-AsyncOperation"); async && !async->empty()) {
        mode_ = Mode::AsyncOp;
        pollUrl_ = *async;
    } else if (auto location = initial_.header("Location"); location && !location->empty()) {
        mode_ = Mode::Location;
        pollUrl_ = *location;
    } else if (isPut && (initial_.status != 200 || state)) {
        // No status URL and not done yet: the resource itself tells when it is done.
        mode_ = Mode::Body;
        pollUrl_ = url_;
    } else {
        // Nothing to follow (a DELETE answered 200 or 202 without a status URL): done.
        mode_ = Mode::Done;
        status_ = "Succeeded";
    }
    if (mode_ == Mode::Done) {
        done_ = true;
    } else {
        status_ = state.value_or("InProgress");
        if (isTerminal(status_))
            status_ = "InProgress";
    }
}

void LroOperation::received(const http::Response& response) {
    // The hint is read now: an HTTP-date Retry-After counts from the answer, not from the check.
    receivedAt_ = pipeline_->now();
    pollHint_ = http::serverRetryDelay(response, std::chrono::system_clock::now());
}

std::chrono::milliseconds LroOperation::nextPollWait() const {
    using std::chrono::milliseconds;
    const ArmClientOptions& options = pipeline_->options();
    const milliseconds asked =
        pollHint_ ? std::min(*pollHint_, options.maxPollDelay) : options.pollInterval;
    const auto pollAt = receivedAt_ + asked;
    const auto now = pipeline_->now();
    const milliseconds wait =
        pollAt > now ? std::chrono::ceil<milliseconds>(pollAt - now) : milliseconds(0);
    if (detail::log()->should_log(spdlog::level::debug)) {
        const auto seconds = [](milliseconds d) { return static_cast<double>(d.count()) / 1000.0; };
        std::string why = pollHint_
                              ? fmt::format("the service asked for {:.1f} s", seconds(*pollHint_))
                              : fmt::format("no Retry-After; poll interval {:.1f} s",
                                            seconds(options.pollInterval));
        if (pollHint_ && *pollHint_ > options.maxPollDelay)
            why += fmt::format(", capped at {:.1f} s", seconds(options.maxPollDelay));
        const auto since = std::chrono::duration_cast<milliseconds>(now - receivedAt_);
        if (since.count() > 0)
            why += fmt::format(", {:.1f} s since that answer", seconds(since));
        detail::log()->debug("Polling {} {} in {:.1f} s ({})", method_, resourceId_, seconds(wait),
                             why);
    }
    return wait;
}

void LroOperation::poll() {
    http::Response response = pipeline_->send("GET", pollUrl_, std::nullopt, {200, 201, 202, 204},
                                              resourceId_, clientRequestId_);
    received(response);
    last_ = response;
    auto body = parseJsonObject(response.body);
    switch (mode_) {
        case Mode::AsyncOp: {
            auto status = body ? detail::stringAt(*body, "status") : std::nullopt;
            if (!status) {
                throw Error("unreadable status of operation " + method_ + " " + resourceId_ +
                            " from GET " + detail::withoutQuery(pollUrl_));
            }
            status_ = *status;
            if (isFailure(status_))
                failure_ = body;
            if (auto next = response.header("Azure-AsyncOperation"); next && !next->empty()) {
                pollUrl_ = *next;
            }
            break;
        }
        case Mode::Location:
            if (response.status == 202) {
                status_ = "InProgress";
                if (auto next = response.header("Location"); next && !next->empty()) {
                    pollUrl_ = *next;
                }
            } else {
                status_ = "Succeeded";
            }
            break;
        case Mode::Body:
            if (response.status == 202) {
                status_ = "InProgress";
            } else {
                status_ = provisioningState(body).value_or("Succeeded");
                resource_ = body;
                if (isFailure(status_))
                    failure_ = body;
            }
            break;
        case Mode::Done:
            break;
    }
    if (isTerminal(status_))
        done_ = true;
}

std::string LroOperation::failureField(const char* key) const {
    if (!failure_)
        return "";
    auto error = failure_->find("error");
    if (error == failure_->end() || !error->is_object())
        return "";
    return detail::stringAt(*error, key).value_or("");
}

void LroOperation::throwFailed() const {
    std::string code = failureField("code");
    std::string message = failureField("message");
    if (code.empty() && message.empty())
        message = "The operation ended " + status_;
    throw OperationFailedError(last_.status, std::move(code), std::move(message),
                               last_.header("x-ms-request-id").value_or(""), method_, resourceId_);
}

bool LroOperation::resendAfterFailure(std::chrono::steady_clock::time_point deadline) {
    // ARM treats PUT and DELETE as idempotent: after a transient failure the same request may
    // simply go again. A Canceled operation was stopped on purpose and is not repeated.
    const ArmClientOptions& options = pipeline_->options();
    const std::string code = failureField("code");
    if ((method_ != "PUT" && method_ != "DELETE") || !text::iequals(status_, "Failed") ||
        !isTransientOperationCode(code) || attempts_ >= options.operationAttempts) {
        return false;
    }
    http::RetryOptions backoff;
    backoff.baseDelay = options.operationRetryDelay;
    const auto delay = http::backoffDelay(backoff, attempts_ + 1, http::randomJitter());
    if (pipeline_->now() + delay > deadline)
        return false;
    ++attempts_;
    detail::log()->warn(
        "Retrying {} {} after its operation ended Failed {} (attempt {} of {}, "
        "waiting {:.1f} s)",
        method_, resourceId_, code, attempts_, options.operationAttempts,
        static_cast<double>(delay.count()) / 1000.0);
    pipeline_->sleep(delay);
    start();
    return true;
}

std::optional<Record> LroOperation::wait() {
    if (finished_) {
        if (isFailure(status_))
            throwFailed();
        return result_;
    }
    const auto deadline = started_ + pipeline_->options().lroDeadline;
    // A check made past the deadline, whose wait is over, still polls once: the operation may
    // well have ended meanwhile.
    bool polled = false;
    do {
        while (!done_) {
            const auto wait = nextPollWait();
            if (pipeline_->now() + wait > deadline && (polled || wait.count() > 0)) {
                throw LroTimeoutError(method_, resourceId_, status_,
                                      pipeline_->options().lroDeadline);
            }
            if (wait.count() > 0)
                pipeline_->sleep(wait);
            poll();
            polled = true;
        }
    } while (isFailure(status_) && resendAfterFailure(deadline));
    if (isFailure(status_)) {
        finished_ = true;
        throwFailed();
    }
    if (method_ == "PUT") {
        // Only the resource body polled at the end is the stored state; status-URL modes read
        // it again.
        if (mode_ != Mode::Body && mode_ != Mode::Done)
            resource_.reset();
        if (!resource_) {
            http::Response final =
                pipeline_->send("GET", url_, std::nullopt, {200}, resourceId_, clientRequestId_);
            resource_ = parseJsonObject(final.body);
        }
        result_ = resource_ ? resource_ : Record::object();
    }
    finished_ = true;
    return result_;
}

}  // namespace dm::azure

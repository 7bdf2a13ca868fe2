#pragma once
// Long-running ARM operations (PUT and DELETE).
//
// Initial response. The constructor sends the request; a status other than 200, 201, 202 or 204
// throws ArmError there and then. The response decides, once, how the operation is followed:
//
//   204                                              -> done: Succeeded
//   200 or 201 whose body has a terminal             -> done: that state
//     properties.provisioningState
//   an Azure-AsyncOperation header                   -> AsyncOp: poll that URL and read the
//                                                       "status" of its body
//   else a Location header                           -> Location: poll that URL; 202 means
//                                                       running, any other status Succeeded
//   else a PUT answered 201 or 202, or 200 with a    -> Body: poll the resource URL; 202 means
//     provisioningState that is not terminal            running, else its provisioningState
//                                                       (Succeeded when it has none)
//   anything else (a DELETE answered 200 or 202      -> done: Succeeded
//     without a status URL, a PUT answered 200
//     without a provisioningState)
//
// The status URL comes from Azure-AsyncOperation when both headers are present. A poll answer
// that carries a new Azure-AsyncOperation (AsyncOp) or Location (Location, on a 202) header
// moves polling there. Until a poll says otherwise, status() of an operation still running is
// the initial body's provisioningState when that is not terminal, else "InProgress".
//
// Terminal states are Succeeded, Failed and Canceled, compared without case; any other state
// (the provider's own "Updating"...) keeps polling.
//
// Waiting (wait(), Poller::result()). A poll is sent no sooner than the Retry-After of the last
// response (retry-after-ms, x-ms-retry-after-ms or Retry-After), at most maxPollDelay, or
// pollInterval when the response has none, counted from when that response came: an operation
// checked late sleeps only what is left of it, or nothing. When that sleep would end past the
// deadline (lroDeadline after the initial response) it throws LroTimeoutError instead of
// sleeping; only a wait() called past the deadline with nothing left to wait polls once first.
// Each wait is logged at debug level with what asked for it. A poll answered with a status other
// than 200, 201, 202 or 204 throws ArmError; an AsyncOp poll whose body has no "status" text
// throws dm::Error.
//
// Sending again. A PUT or DELETE whose operation ends Failed with a transient code (see
// isTransientOperationCode) is sent again, as ARM allows for these idempotent requests: after the
// back-off of the transport's retries (from operationRetryDelay) and a warning line, up to
// operationAttempts sends in all, within the deadline; the new answer is read as the first one
// was. A refusal of the new send throws its ArmError.
//
// Result. Failed or Canceled, when not sent again, throws OperationFailedError with the code and
// message of the body that reported it (its "error" object), else "The operation ended <state>";
// its what() names the method and the resource. Every later wait() throws the same. A DELETE that
// succeeded returns nullopt. A PUT that succeeded returns the resource as stored: the last body
// that was the resource itself (Body mode, or the initial body when it was done at once), else the
// answer of one more GET of the resource URL; an empty object when that answer is not a JSON
// object. A second wait() returns the same result without new requests.
//
// "Started and not waited on" is a Poller whose result() is never called: the initial request
// already threw when it was refused, and nothing is polled.

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "core/record.hpp"
#include "platform/azure/pipeline.hpp"
#include "platform/http/http.hpp"

namespace dm::azure {

class LroOperation {
  public:
    // Sends the initial request (throws ArmError unless it answers 200, 201, 202 or 204) and
    // reads how to follow it.
    LroOperation(std::shared_ptr<const ArmPipeline> pipeline, std::string method, std::string url,
                 std::optional<Record> body, std::string resourceId);

    // Polls to a terminal state, sending the request again after a transient failure; returns
    // the final resource body for a PUT, nullopt for a DELETE. Throws OperationFailedError on
    // Failed/Canceled, ArmError on a refused poll or send, LroTimeoutError at the deadline. A
    // second call returns (or throws) the same without new requests.
    std::optional<Record> wait();

    bool done() const { return done_; }
    // "InProgress", "Succeeded", "Failed", "Canceled" or the provider's own running state.
    const std::string& status() const { return status_; }
    const http::Response& initialResponse() const { return initial_; }

  private:
    enum class Mode { Done, AsyncOp, Location, Body };

    // Sends the request and reads from its answer how to follow it.
    void start();
    void poll();
    // Notes when an answer came and the wait it asked for.
    void received(const http::Response& response);
    // What is left, now, of the wait the last answer asked for (logged at debug level).
    std::chrono::milliseconds nextPollWait() const;
    // A text field ("code", "message") of the error of the body that reported the failure; ""
    // when it had none.
    std::string failureField(const char* key) const;
    // After a Failed end: when the request may go again and the budget allows, waits, logs a
    // warning and sends it again (true); otherwise false.
    bool resendAfterFailure(std::chrono::steady_clock::time_point deadline);
    [[noreturn]] void throwFailed() const;

    std::shared_ptr<const ArmPipeline> pipeline_;
    std::string method_;
    std::string url_;
    std::string resourceId_;
    std::optional<Record> body_;
    std::string clientRequestId_;
    int attempts_ = 1;  // sends of the request so far
    http::Response initial_;
    http::Response last_;
    Mode mode_ = Mode::Done;
    std::string pollUrl_;
    std::string status_;
    bool done_ = false;
    std::chrono::steady_clock::time_point started_;
    std::chrono::steady_clock::time_point receivedAt_;   // of the last answer
    std::optional<std::chrono::milliseconds> pollHint_;  // its Retry-After, if any
    std::optional<Record> resource_;  // the last body that was the resource itself
    std::optional<Record> failure_;   // the body that reported Failed or Canceled
    std::optional<Record> result_;
    bool finished_ = false;
};

// A started operation whose result() waits for it and returns the resource as stored.
template <class T>
class Poller {
  public:
    explicit Poller(std::shared_ptr<LroOperation> op) : op_(std::move(op)) {}

    // The resource after the operation; throws as LroOperation::wait does.
    T result() { return T(op_->wait().value_or(Record::object())); }
    bool done() const { return op_->done(); }
    const std::string& status() const { return op_->status(); }
    const http::Response& initialResponse() const { return op_->initialResponse(); }

  private:
    std::shared_ptr<LroOperation> op_;
};

// A started delete; result() returns once the resource is gone.
template <>
class Poller<void> {
  public:
    explicit Poller(std::shared_ptr<LroOperation> op) : op_(std::move(op)) {}

    void result() { op_->wait(); }
    bool done() const { return op_->done(); }
    const std::string& status() const { return op_->status(); }
    const http::Response& initialResponse() const { return op_->initialResponse(); }

  private:
    std::shared_ptr<LroOperation> op_;
};

}  // namespace dm::azure

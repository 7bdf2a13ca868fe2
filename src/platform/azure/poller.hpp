#pragma once
// Long-running ARM operations (PUT and DELETE).
//
// State machine, decided once from the initial response:
//   204, or 200/201 whose body carries a terminal provisioningState -> Done at once
//   Azure-AsyncOperation header                                    -> AsyncOp: poll it, read
//   "status" Location header                                                -> Location: 202
//   running, 200/204 done PUT without either header                                      -> Body:
//   poll the resource URL,
//                                                                     read
//                                                                     properties.provisioningState
//   anything else                                                  -> Done
// Polling sleeps the latest Retry-After (else the poll interval), stops at Succeeded, Failed or
// Canceled (case-insensitive), and raises LroTimeoutError when the deadline would pass. Failed
// and Canceled raise ArmError with the service's code and message. A PUT that succeeded ends
// with a GET of the resource unless the last response already was the resource.
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

    // Polls to a terminal state; returns the final resource body for a PUT, nullopt for a
    // DELETE. Throws ArmError on Failed/Canceled or a refused poll, LroTimeoutError at the
    // deadline. A second call returns the same result without new requests.
    std::optional<Record> wait();

    bool done() const { return done_; }
    // "InProgress", "Succeeded", "Failed", "Canceled" or the provider's own running state.
    const std::string& status() const { return status_; }
    const http::Response& initialResponse() const { return initial_; }

  private:
    enum class Mode { Done, AsyncOp, Location, Body };

    void poll();
    std::chrono::milliseconds delayAfter(const http::Response& response) const;
    [[noreturn]] void throwFailed() const;

    std::shared_ptr<const ArmPipeline> pipeline_;
    std::string method_;
    std::string url_;
    std::string resourceId_;
    std::string clientRequestId_;
    http::Response initial_;
    http::Response last_;
    Mode mode_ = Mode::Done;
    std::string pollUrl_;
    std::string status_;
    bool done_ = false;
    std::chrono::steady_clock::time_point started_;
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

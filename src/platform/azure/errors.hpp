#pragma once
// Failures of Azure calls. ARM refusals carry the facts an operator needs (status, ARM code,
// message, request id, method, resource); what() reads "(Code) message" like the Azure SDKs.

#include <chrono>
#include <string>
#include <utility>

#include "core/error.hpp"
#include "platform/http/http.hpp"

namespace dm::azure {

// An ARM response with a status the call does not accept, or a long-running operation that
// ended Failed or Canceled.
class ArmError : public dm::Error {
  public:
    ArmError(int status, std::string code, std::string message, std::string requestId,
             std::string method, std::string resourceId);

    int status() const { return status_; }
    // The ARM error code ("ResourceNotFound", "ScopeLocked"...); "" when the body had none.
    const std::string& code() const { return code_; }
    // The service's own message, without the "(Code) " prefix.
    const std::string& message() const { return message_; }
    // The x-ms-request-id of the refusing response; "" when absent.
    const std::string& requestId() const { return requestId_; }
    const std::string& method() const { return method_; }
    const std::string& resourceId() const { return resourceId_; }

  protected:
    // For subclasses whose what() says more than "(Code) message".
    ArmError(std::string whatText, int status, std::string code, std::string message,
             std::string requestId, std::string method, std::string resourceId);

  private:
    int status_;
    std::string code_;
    std::string message_;
    std::string requestId_;
    std::string method_;
    std::string resourceId_;
};

// 404: the resource (or its parent) does not exist.
class ResourceNotFoundError : public ArmError {
  public:
    using ArmError::ArmError;
    explicit ResourceNotFoundError(ArmError base) : ArmError(std::move(base)) {}
};

// 401 from ARM even after one token refresh.
class ClientAuthenticationError : public ArmError {
  public:
    using ArmError::ArmError;
    explicit ClientAuthenticationError(ArmError base) : ArmError(std::move(base)) {}
};

// A long-running operation that ended Failed or Canceled. code() and message() are the
// service's; what() adds the request and the resource the operation was about:
// "(InternalServerError) An error occurred. (PUT /subscriptions/.../subnets/app)".
class OperationFailedError : public ArmError {
  public:
    OperationFailedError(int status, std::string code, std::string message, std::string requestId,
                         std::string method, std::string resourceId);
};

// Whether an operation that ended Failed with this ARM code failed for a passing reason, so that
// the same idempotent request (a PUT or DELETE) may be sent again: a server fault, throttling or
// another operation in the way; not a refusal of the request itself (validation, authorization,
// state conflicts). Compared without case.
bool isTransientOperationCode(const std::string& code);

// A long-running operation that was still running when its deadline passed; it may still
// finish in Azure.
class LroTimeoutError : public dm::Error {
  public:
    LroTimeoutError(std::string method, std::string resourceId, std::string lastStatus,
                    std::chrono::milliseconds deadline);
    const std::string& lastStatus() const { return lastStatus_; }

  private:
    std::string lastStatus_;
};

// The token endpoint refused the client-credentials grant or answered something unreadable.
// The message carries the AADSTS text; it never carries the client secret.
class AuthenticationError : public dm::Error {
  public:
    using dm::Error::Error;
};

// A credential that cannot work where the program runs (not configured, no managed identity
// endpoint, no Azure CLI or no login in it): the default chain goes on to its next step.
class CredentialUnavailableError : public AuthenticationError {
  public:
    using AuthenticationError::AuthenticationError;
};

// Builds the error for a refused ARM response: the status picks the type (404, 401, other),
// the body gives code and message when it is ARM's JSON shape. Never throws while parsing.
ArmError makeArmError(const http::Response& response, const std::string& method,
                      const std::string& resourceId);

// Throws the error makeArmError builds, with its most specific type.
[[noreturn]] void throwArmError(const http::Response& response, const std::string& method,
                                const std::string& resourceId);

}  // namespace dm::azure

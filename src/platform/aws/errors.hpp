#pragma once
// Failures of S3 and STS calls: the service's error Code and Message with the HTTP status.

#include <string>
#include <string_view>

#include "core/error.hpp"
#include "platform/http/http.hpp"

namespace dm::aws {

// What an error body says; fields the body lacks are empty.
struct ServiceErrorInfo {
    std::string code;
    std::string message;
    std::string requestId;
};

// Reads S3's <Error> and STS's <ErrorResponse><Error> bodies. Never throws: an empty or
// unreadable body gives empty fields.
ServiceErrorInfo parseErrorXml(std::string_view body);

// A call that the service refused. what() reads "<action>: (<Code>) <Message> (HTTP <status>,
// request id <id>)", leaving out the parts the response did not carry.
class AwsError : public dm::Error {
  public:
    AwsError(const std::string& action, int status, ServiceErrorInfo info);

    int status() const { return status_; }
    const std::string& code() const { return info_.code; }
    const std::string& serviceMessage() const { return info_.message; }
    const std::string& requestId() const { return info_.requestId; }

  private:
    int status_;
    ServiceErrorInfo info_;
};

// The AwsError for a response with an unexpected status; the request id falls back to the
// x-amz-request-id header when the body has none (HEAD responses have no body).
AwsError responseError(const std::string& action, const http::Response& response);

}  // namespace dm::aws

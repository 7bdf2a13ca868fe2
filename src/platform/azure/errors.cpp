#include "platform/azure/errors.hpp"

#include <fmt/format.h>

#include <utility>

#include "core/json.hpp"
#include "core/text.hpp"
#include "platform/azure/detail.hpp"

namespace dm::azure {

namespace {

std::string armWhat(const std::string& code, const std::string& message) {
    if (code.empty())
        return message;
    if (message.empty())
        return "(" + code + ")";
    return "(" + code + ") " + message;
}

const char* reasonPhrase(int status) {
    switch (status) {
        case 400:
            return "Bad Request";
        case 401:
            return "Unauthorized";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 408:
            return "Request Timeout";
        case 409:
            return "Conflict";
        case 412:
            return "Precondition Failed";
        case 429:
            return "Too Many Requests";
        case 500:
            return "Internal Server Error";
        case 502:
            return "Bad Gateway";
        case 503:
            return "Service Unavailable";
        case 504:
            return "Gateway Timeout";
        default:
            return "";
    }
}

// Gateways in front of ARM answer HTML or plain text; a short one-line excerpt is enough to
// recognise them without flooding the log.
std::string excerpt(const std::string& body) {
    std::string flat;
    for (char c : body) {
        if (flat.size() >= 200) {
            flat += "...";
            break;
        }
        flat += (c == '\n' || c == '\r' || c == '\t') ? ' ' : c;
    }
    return text::trim(flat);
}

struct CodeAndMessage {
    std::string code;
    std::string message;
};

// ARM's {"error": {code, message}}, a bare {code, message}, or the token endpoint's
// {"error": "...", "error_description": "..."}; anything else gives nothing.
CodeAndMessage readBody(const std::string& body) {
    CodeAndMessage out;
    auto json = parseJsonObject(body);
    if (!json)
        return out;
    const Record* err = nullptr;
    if (auto it = json->find("error"); it != json->end()) {
        if (it->is_object()) {
            err = &*it;
        } else if (it->is_string()) {
            out.code = it->get<std::string>();
            out.message = detail::stringAt(*json, "error_description").value_or("");
            return out;
        }
    }
    if (!err)
        err = &*json;
    out.code = detail::stringAt(*err, "code").value_or("");
    out.message = detail::stringAt(*err, "message").value_or("");
    if (out.message.empty()) {
        // Some services put the only readable text in the first detail.
        auto details = err->find("details");
        if (details != err->end() && details->is_array() && !details->empty() &&
            (*details)[0].is_object()) {
            out.message = detail::stringAt((*details)[0], "message").value_or("");
        }
    }
    return out;
}

using Thrower = void (*)(ArmError&&);

// Status to error type; statuses not listed raise the plain ArmError.
const std::pair<int, Thrower> kErrorTypes[] = {
    {401, [](ArmError&& e) { throw ClientAuthenticationError(std::move(e)); }},
    {404, [](ArmError&& e) { throw ResourceNotFoundError(std::move(e)); }},
};

}  // namespace

ArmError::ArmError(int status, std::string code, std::string message, std::string requestId,
                   std::string method, std::string resourceId)
    // Copies, not moves: the order in which arguments are evaluated is unspecified.
    : ArmError(armWhat(code, message), status, code, message, std::move(requestId),
               std::move(method), std::move(resourceId)) {}

ArmError::ArmError(std::string whatText, int status, std::string code, std::string message,
                   std::string requestId, std::string method, std::string resourceId)
    : dm::Error(whatText),
      status_(status),
      code_(std::move(code)),
      message_(std::move(message)),
      requestId_(std::move(requestId)),
      method_(std::move(method)),
      resourceId_(std::move(resourceId)) {}

OperationFailedError::OperationFailedError(int status, std::string code, std::string message,
                                           std::string requestId, std::string method,
                                           std::string resourceId)
    : ArmError(armWhat(code, message) + " (" + method + " " + resourceId + ")", status, code,
               message, std::move(requestId), method, resourceId) {}

bool isTransientOperationCode(const std::string& code) {
    for (const char* transient :
         {"InternalServerError", "RetryableError", "ServiceUnavailable", "GatewayTimeout",
          "TooManyRequests", "AnotherOperationInProgress", "ReferencedResourceNotProvisioned"}) {
        if (text::iequals(code, transient))
            return true;
    }
    return false;
}

LroTimeoutError::LroTimeoutError(std::string method, std::string resourceId, std::string lastStatus,
                                 std::chrono::milliseconds deadline)
    : dm::Error(fmt::format("Operation {} {} did not finish within {} s (last status {})", method,
                            resourceId, deadline.count() / 1000.0, lastStatus)),
      lastStatus_(std::move(lastStatus)) {}

ArmError makeArmError(const http::Response& response, const std::string& method,
                      const std::string& resourceId) {
    auto [code, message] = readBody(response.body);
    if (code.empty() && message.empty()) {
        message = fmt::format("Operation returned an invalid status {}", response.status);
        if (*reasonPhrase(response.status))
            message += fmt::format(" ({})", reasonPhrase(response.status));
        std::string tail = excerpt(response.body);
        if (!tail.empty())
            message += ": " + tail;
    }
    return ArmError(response.status, std::move(code), std::move(message),
                    response.header("x-ms-request-id").value_or(""), method, resourceId);
}

void throwArmError(const http::Response& response, const std::string& method,
                   const std::string& resourceId) {
    ArmError error = makeArmError(response, method, resourceId);
    for (const auto& [status, raise] : kErrorTypes) {
        if (status == response.status)
            raise(std::move(error));
    }
    throw error;
}

}  // namespace dm::azure

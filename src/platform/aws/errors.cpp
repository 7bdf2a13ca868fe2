#include "platform/aws/errors.hpp"

#include <fmt/format.h>
#include <pugixml.hpp>

namespace dm::aws {
namespace {

std::string describe(const std::string& action, int status, const ServiceErrorInfo& info) {
    std::string text = action + ":";
    if (!info.code.empty())
        text += " (" + info.code + ")";
    if (!info.message.empty())
        text += " " + info.message;
    text += fmt::format(" (HTTP {}", status);
    if (!info.requestId.empty())
        text += ", request id " + info.requestId;
    return text + ")";
}

}  // namespace

ServiceErrorInfo parseErrorXml(std::string_view body) {
    ServiceErrorInfo info;
    try {
        pugi::xml_document doc;
        if (!doc.load_buffer(body.data(), body.size()))
            return info;
        pugi::xml_node root = doc.document_element();
        pugi::xml_node error = root;
        if (std::string_view(root.name()) == "ErrorResponse")
            error = root.child("Error");
        if (!error || std::string_view(error.name()) != "Error")
            return info;
        info.code = error.child_value("Code");
        info.message = error.child_value("Message");
        info.requestId = error.child_value("RequestId");
        if (info.requestId.empty())
            info.requestId = root.child_value("RequestId");
    } catch (...) {
        // Building an error must not fail: whatever was read so far is kept.
    }
    return info;
}

AwsError::AwsError(const std::string& action, int status, ServiceErrorInfo info)
    : dm::Error(describe(action, status, info)), status_(status), info_(std::move(info)) {}

AwsError responseError(const std::string& action, const http::Response& response) {
    ServiceErrorInfo info = parseErrorXml(response.body);
    if (info.requestId.empty()) {
        if (auto header = response.header("x-amz-request-id"))
            info.requestId = *header;
    }
    return AwsError(action, response.status, std::move(info));
}

}  // namespace dm::aws
